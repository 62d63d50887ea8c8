// The conversion run: from one .hdr named on the command line to a float
// TIFF beside it. Only this part of the program prints, and it alone
// chooses the exit status.
#ifndef CORVALIN_DRIVER_CONVERTER_H
#define CORVALIN_DRIVER_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "radiance/radiance.h"

struct FileNames {
  std::string input;   // ends in ".hdr"
  std::string output;  // ends in ".tif"
};

// A short extension (a last dot followed by at most three characters, none
// of them a path separator) is replaced; anything else is kept whole.
// "image.pic" -> image.hdr / image.tif, "image.rgbe" -> image.rgbe.hdr,
// "a.b/c" -> a.b/c.hdr.
FileNames NamesFromArgument(const std::string& argument);

enum class SizeCheck { kOk, kInvalid, kTooLarge };

// Whether a width x height picture can be converted: both at least 1, and
// the TIFF (headerBytes before width * height * 12 bytes of pixels) within
// the 4 GiB that its 32-bit offsets reach.
SizeCheck CheckImageSize(int32_t width, int32_t height, uint64_t headerBytes);

// Bytes before the pixel data in the TIFF the converter writes.
uint64_t ConverterTiffHeaderBytes();

enum class DecodeResult { kComplete, kEndedEarly, kFatal };

// Decodes every scanline of the picture from in and places it upright in
// image (width * height * 3 floats, rows top to bottom). scanline is room
// for one scanline (ScanlineLength() * 4 bytes). Rows the file does not hold
// whole are completed with zeros and decoding goes on (kEndedEarly); a
// scanline that is corrupt before the end of the file stops it (kFatal).
DecodeResult DecodePicture(InputStream& in, const Resolution& resolution,
                           float* image, uint8_t* scanline);

// A block of floats for the whole picture, zeroed, released on destruction.
// Large blocks are aligned for and advised to use huge pages, which makes
// touching and writing them markedly cheaper. data() is null when the block
// could not be had.
class FloatImage {
 public:
  explicit FloatImage(uint64_t floats);
  ~FloatImage();
  FloatImage(const FloatImage&) = delete;
  FloatImage& operator=(const FloatImage&) = delete;
  float* data() const { return data_; }
  // Gives back the memory of whole pages within count floats from pixels;
  // they read as 0 afterwards.
  void Release(const float* pixels, size_t count);

 private:
  float* data_ = nullptr;
  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
};

// The whole program: banner, names, header, conversion, messages on
// standard output. Returns the exit status (0 or 1).
int RunConverter(int argc, char** argv);

#endif
