// The conversion run: from one .hdr named on the command line to a float
// TIFF beside it. Only this part of the program prints, and it alone
// chooses the exit status.
#ifndef CORVALIN_DRIVER_CONVERTER_H
#define CORVALIN_DRIVER_CONVERTER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "result/result.h"
#include "tiff/tif_writer.h"

struct FileNames {
  std::string input;   // ends in ".hdr"
  std::string output;  // ends in ".tif"
};

// A short extension (a last dot followed by at most three characters, none
// of them a path separator) is replaced; anything else is kept whole.
// "image.pic" -> image.hdr / image.tif, "image.rgbe" -> image.rgbe.hdr,
// "a.b/c" -> a.b/c.hdr.
FileNames NamesFromArgument(const std::string& argument);

// The layout of the TIFF the converter writes (its Software text set) for a
// width x height picture.
TiffLayout ConverterLayout(int32_t width, int32_t height);

// Whether a width x height picture can be converted: kOk, with the size of
// its TIFF (classic, or BigTIFF past 4 GiB) in *fileBytes; kInvalidSize for
// a side below 1; kTooLarge for a TIFF larger than 64 bits can measure.
Result CheckImageSize(int32_t width, int32_t height, uint64_t* fileBytes);

// The whole program: banner, names, header, conversion, messages on
// standard output. args are the command line as UTF-8, the program's own
// name first. Returns the exit status (0 or 1).
int RunConverter(const std::vector<std::string>& args);

#endif
