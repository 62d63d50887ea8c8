// The conversion run: from one .hdr named on the command line to a float
// TIFF beside it. Only this part of the program prints, and it alone
// chooses the exit status.
#ifndef CORVALIN_DRIVER_CONVERTER_H
#define CORVALIN_DRIVER_CONVERTER_H

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

// Where upright rows of floats go, a band of rows at a time, top to bottom
// or in any order. The decoder fills what TakeBand lends and hands it back
// through GiveBand.
class BandSink {
 public:
  virtual ~BandSink() = default;
  // Room for BandRows(width) rows of width * 3 floats, or null once no
  // more rows are wanted (the output failed): decoding goes on then
  // without converting, to tell a short file from a corrupt one.
  virtual float* TakeBand() = 0;
  // The band, filled with rows firstRow to firstRow + count - 1 of the
  // upright picture, top to bottom.
  virtual void GiveBand(float* band, int32_t firstRow, int32_t count) = 0;
};

// Rows in a band: about 1 MiB of floats, and at least one row.
int32_t BandRows(int32_t width);

// Decodes count scanlines of length pixels into scanlines (count * length
// * 4 bytes), each zeroed first, so that what the file does not hold reads
// as 0. kEndedEarly when the file ended within them, kFatal when a scanline
// is corrupt before the end of the file (decoding stops there).
DecodeResult DecodeScanlines(InputStream& in, int32_t length, int32_t count, uint8_t* scanlines);

// For pictures stored by rows (not X-major): decodes a band of scanlines
// at a time into scanlines (room for BandRows(width) scanlines), converts
// them into a band of sink's, upright, and hands it over; rows stored
// bottom-up go to their place in the file. With sink null (or once it
// wants no more) it only decodes. xyz: the pixels hold X, Y, Z.
DecodeResult StreamPicture(InputStream& in, const Resolution& r, bool xyz, uint8_t* scanlines,
                           BandSink* sink);

// For pictures held whole: picture holds every scanline in file order
// (ScanlineCount() * ScanlineLength() * 4 bytes, as DecodeScanlines leaves
// them). Converts it into sink's bands, upright, top to bottom. tile is
// room for BandRows(width) * width RGBE pixels, used to turn columns into
// rows a band at a time.
void PlacePicture(const uint8_t* picture, const Resolution& r, bool xyz, uint8_t* tile,
                  BandSink* sink);

// The whole program: banner, names, header, conversion, messages on
// standard output. Returns the exit status (0 or 1).
int RunConverter(int argc, char** argv);

#endif
