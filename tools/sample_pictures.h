// A set of small pictures that between them take every path of the
// converter: both encodings in all eight orientations, several bands,
// pictures held whole, old repetition markers, odd headers, XYZ, files
// cut short or corrupt, sizes that are refused. The fuzz target's seeds,
// and the pictures on which other builds (Windows, ARM, s390x) must give
// the same output as this one.
#ifndef CORVALIN_TOOLS_SAMPLE_PICTURES_H
#define CORVALIN_TOOLS_SAMPLE_PICTURES_H

#include <string>
#include <vector>

#include "tools/hdr_encode.h"

struct SamplePicture {
  std::string name;  // a file name, ending in .hdr
  Bytes bytes;
};

std::vector<SamplePicture> SamplePictures();

#endif
