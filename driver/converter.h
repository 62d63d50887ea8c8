// The conversion run: from one .hdr named on the command line to a float
// TIFF beside it. Only this part of the program prints, and it alone
// chooses the exit status.
#ifndef CORVALIN_DRIVER_CONVERTER_H
#define CORVALIN_DRIVER_CONVERTER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "radiance/radiance.h"
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

enum class SizeCheck { kOk, kInvalid, kTooLarge };

// Whether a width x height picture can be converted: both at least 1, and
// its TIFF (classic, or BigTIFF past 4 GiB) of a size a file can have,
// which goes to *fileBytes.
SizeCheck CheckImageSize(int32_t width, int32_t height, uint64_t* fileBytes);

// A writer of the TIFF the converter makes (its Software text set) for a
// width x height picture, to be written at name.
std::unique_ptr<TIFWriter> ConverterTiff(const std::string& name, int32_t width, int32_t height);

enum class DecodeResult { kComplete, kEndedEarly, kFatal };

// Where a band of a picture's rows goes: a few scanlines of RGBE pixels
// that are the band's rows, and where they belong in the upright picture.
struct BandPlace {
  int32_t firstRow = 0;   // the band holds rows firstRow to firstRow + count - 1
  int32_t count = 0;
  bool bottomUp = false;  // its first scanline is the last of those rows
  bool mirrored = false;  // each scanline runs right to left
};

// Takes bands of RGBE rows, converts them and puts them where they belong.
// The decoder fills what TakeBand lends and hands it back through GiveBand.
class BandSink {
 public:
  virtual ~BandSink() = default;
  // Room for a band's scanlines of width RGBE pixels (BandRows of them for
  // StreamPicture, HeldBandRows for PlacePicture), or null once
  // no more rows are wanted (the output failed): decoding goes on then
  // without them, to tell a short file from a corrupt one.
  virtual uint8_t* TakeBand() = 0;
  // The band, filled as place says.
  virtual void GiveBand(uint8_t* band, const BandPlace& place) = 0;
};

// A picture of at most this many bytes of floats is small: converted on
// one thread, in smaller bands (see BandRows).
constexpr uint64_t kSmallPicture = 4 << 20;
bool SmallPicture(int32_t width, int32_t height);

// Rows in a band of a width x height picture: about 1 MiB of floats (256
// KiB for a small picture), at least one row, and no more than the picture
// has.
int32_t BandRows(int32_t width, int32_t height);

// Rows in a band of a picture held whole: as BandRows, but for an X-major
// picture at least 16 (as many as the picture has), the pixels of a column
// in one 64-byte cache line, so that every line of a column is read once.
int32_t HeldBandRows(const Resolution& r);

// count RGBE scanlines of width pixels (a band as place describes it) as
// upright rows of floats, top to bottom, into out (count * width * 3
// floats). xyz: the pixels hold X, Y, Z, which become red, green, blue.
void ConvertBand(const uint8_t* band, int32_t width, const BandPlace& place, bool xyz, float* out);

// Decodes count scanlines of length pixels into scanlines (count * length
// * 4 bytes), each zeroed first unless zeroed says they hold zeros already,
// so that what the file does not hold reads as 0. kEndedEarly when the file
// ended within them, kFatal when a scanline is corrupt before the end of the
// file (decoding stops there). *held, if given: how many of the scanlines,
// from the first, took any byte from the file (the rest are all zeros).
DecodeResult DecodeScanlines(InputStream& in, int32_t length, int32_t count, uint8_t* scanlines,
                             bool zeroed = false, int32_t* held = nullptr);

// For pictures stored by rows (not X-major): decodes a band of scanlines at
// a time into a band of sink's and hands it over, so the picture is never
// held whole. With sink null, or once it wants no more, it decodes into
// scratch (room for BandRows(width, height) scanlines) only. On kFatal the band
// being decoded is not handed back. *held: how many scanlines, from the
// first, took any byte from the file; the rows of the others, all zeros,
// are not handed over.
DecodeResult StreamPicture(InputStream& in, const Resolution& r, uint8_t* scratch, BandSink* sink,
                           int32_t* held);

// The upright rows that hold pixels of the file, first to first + count - 1,
// when its first held scanlines took any byte from it: the rows of those
// scanlines, or for an X-major picture every row if it holds any column
// (each row takes a pixel from every column). The other rows are all zeros.
void RowsHeld(const Resolution& r, int32_t held, int32_t* first, int32_t* count);

// For pictures held whole: picture holds every scanline in file order
// (ScanlineCount() * ScanlineLength() * 4 bytes, as DecodeScanlines leaves
// them). Hands sink the upright rows first to first + count - 1,
// HeldBandRows(r) rows at a time, top to bottom; the columns of an X-major
// picture become rows here.
void PlacePicture(const uint8_t* picture, const Resolution& r, int32_t first, int32_t count,
                  BandSink* sink);

// The whole program: banner, names, header, conversion, messages on
// standard output. args are the command line as UTF-8, the program's own
// name first. Returns the exit status (0 or 1).
int RunConverter(const std::vector<std::string>& args);

#endif
