// Where a conversion's rows come from: bands of scanlines, decoded as the
// input is read or taken from a picture held whole, placed upright and
// turned into floats; and how large a band is.
#ifndef CORVALIN_DRIVER_BANDS_H
#define CORVALIN_DRIVER_BANDS_H

#include <cstdint>

#include "radiance/radiance.h"
#include "result/result.h"

// Where a band of a picture's rows goes: a few scanlines of RGBE pixels
// that are the band's rows, and where they belong in the upright picture.
struct BandPlace {
  int32_t firstRow = 0;   // the band holds rows firstRow to firstRow + count - 1
  int32_t count = 0;
  bool bottomUp = false;  // its first scanline is the last of those rows
  bool mirrored = false;  // each scanline runs right to left
  // Only columns left to right - 1 of its rows are in the band; the others
  // are zeros, neither stored nor converted (never for a mirrored band).
  int32_t left = 0;
  int32_t right = INT32_MAX;  // at most the width
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
// upright rows of floats, top to bottom, into out (count * width * 3 floats;
// only the band's columns are stored).
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

// The part of the upright picture that holds pixels of the input, when its
// first filled scanlines took any byte from it: the rows of those
// scanlines or, for an X-major picture, their columns in every row (if
// there are any). Everything else is zeros.
struct HeldPixels {
  int32_t firstRow, rows;
  int32_t left, right;  // columns left to right - 1
};
HeldPixels PixelsHeld(const Resolution& r, int32_t filled);

// A picture held whole: picture holds every scanline in file order
// (ScanlineCount() * ScanlineLength() * 4 bytes, as DecodeScanlines leaves
// them). Gives the part of the upright picture that area names,
// WholeBandRows(r) rows at a time, top to bottom; the columns of an X-major
// picture become rows here.
class PictureBands : public BandSource {
 public:
  PictureBands(const uint8_t* picture, const Resolution& r, const HeldPixels& area);
  bool Next(uint8_t* band, BandPlace* place) override;

 private:
  const uint8_t* picture_;
  const Resolution r_;
  const HeldPixels area_;
  int32_t bandRows_, next_;
};

#endif
