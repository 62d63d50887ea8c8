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

// Where a band of a picture's rows goes: a few scanlines of RGBE pixels
// that are the band's rows, and where they belong in the upright picture.
struct BandPlace {
  int32_t firstRow = 0;   // the band holds rows firstRow to firstRow + count - 1
  int32_t count = 0;
  bool bottomUp = false;  // its first scanline is the last of those rows
  bool mirrored = false;  // each scanline runs right to left
};

// Where the bands of a picture's rows come from, one after another.
class BandSource {
 public:
  virtual ~BandSource() = default;
  // Fills band (room for the source's rows per band) with the next band
  // and says where it goes; false when there is none left.
  virtual bool Next(uint8_t* band, BandPlace* place) = 0;
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
int32_t WholeBandRows(const Resolution& r);

// How a band's RGBE pixels become floats: xyz says the pixels hold X, Y,
// Z, which become red, green, blue; cpu what the processor offers.
struct PixelConversion {
  bool xyz = false;
  CpuFeatures cpu;
};

// count RGBE scanlines of width pixels (a band as place describes it) as
// upright rows of floats, top to bottom, into out (count * width * 3 floats).
void ConvertBand(const uint8_t* band, int32_t width, const BandPlace& place, const PixelConversion& how,
                 float* out);

// A picture stored by rows (not X-major), decoded BandRows(width, height)
// scanlines at a time, so that it is never held whole. Next gives the
// scanlines that took any byte from the input: a band cut short where the
// input ends is the last, and a band that is corrupt is not given.
class ScanlineBands : public BandSource {
 public:
  ScanlineBands(ScanlineDecoder& decoder, const Resolution& r);
  bool Next(uint8_t* band, BandPlace* place) override;
  // Decodes what no band was taken for into scratch (room for a band), only
  // to tell a short file from a corrupt one.
  void Drain(uint8_t* scratch);
  // Once there is no next band: kOk, kEndedEarly or kCorrupt, as
  // ScanlineDecoder says, and how many scanlines, from the first, took any
  // byte from the input (the rows of the others, all zeros, are not given).
  Result result() const { return result_; }
  int32_t filled() const { return filled_; }

 private:
  ScanlineDecoder& decoder_;
  const Resolution r_;
  int32_t bandRows_;
  int32_t next_ = 0;  // the first scanline of the next band
  bool done_ = false;
  Result result_ = Result::kOk;
  int32_t filled_ = 0;
};

// The upright rows that hold pixels of the input, first to first + count - 1,
// when its first filled scanlines took any byte from it: the rows of those
// scanlines, or for an X-major picture every row if any column has a pixel
// (each row takes one from every column). The other rows are all zeros.
void RowsWithPixels(const Resolution& r, int32_t filled, int32_t* first, int32_t* count);

// A picture held whole: picture holds every scanline in file order
// (ScanlineCount() * ScanlineLength() * 4 bytes, as DecodeScanlines leaves
// them). Gives the upright rows first to first + count - 1,
// WholeBandRows(r) rows at a time, top to bottom; the columns of an X-major
// picture become rows here.
class PictureBands : public BandSource {
 public:
  PictureBands(const uint8_t* picture, const Resolution& r, int32_t first, int32_t count);
  bool Next(uint8_t* band, BandPlace* place) override;

 private:
  const uint8_t* picture_;
  const Resolution r_;
  int32_t bandRows_, next_, end_;
};

// The whole program: banner, names, header, conversion, messages on
// standard output. args are the command line as UTF-8, the program's own
// name first. Returns the exit status (0 or 1).
int RunConverter(const std::vector<std::string>& args);

#endif
