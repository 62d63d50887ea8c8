// Decoding scanlines and placing them upright, a band of rows at a time.
#include <algorithm>
#include <cstring>

#include "driver/bands.h"

namespace {

// A band of about this size is large enough that writing it costs one
// system call among a few hundred microseconds of copying, and that the
// two threads hand bands over rarely; small enough that its scanlines stay
// in the cache from decoding to converting. (Measured at 8192 x 4096: 256
// KiB and 4 MiB bands were both about 10 % slower.)
constexpr uint64_t kBandBytes = 1 << 20;

// A small picture is converted on one thread, in a band of this size:
// fresh memory costs a trap for every page, more than the picture's
// conversion, so it touches little.
constexpr uint64_t kSmallBandBytes = 256 << 10;

// Swaps the pixels of a row end for end, for scanlines stored right to left.
void ReversePixels(float* row, int32_t width) {
  for (int32_t a = 0, b = width - 1; a < b; ++a, --b)
    for (int c = 0; c < 3; ++c) std::swap(row[3 * static_cast<size_t>(a) + c], row[3 * static_cast<size_t>(b) + c]);
}

}  // namespace

// A 64-byte cache line holds this many four-byte pixels of a column.
constexpr int32_t kPixelsPerLine = 16;

bool SmallPicture(int32_t width, int32_t height) {
  return static_cast<uint64_t>(width > 0 ? width : 0) * static_cast<uint64_t>(height > 0 ? height : 0) * 12 <=
         kSmallPicture;
}

int32_t BandRows(int32_t width, int32_t height) {
  const uint64_t rowBytes = static_cast<uint64_t>(width > 0 ? width : 1) * 12;
  const uint64_t bandBytes = SmallPicture(width, height) ? kSmallBandBytes : kBandBytes;
  const uint64_t rows = std::min<uint64_t>(bandBytes / rowBytes, static_cast<uint64_t>(height > 0 ? height : 1));
  return static_cast<int32_t>(std::max<uint64_t>(1, rows));
}

int32_t WholeBandRows(const Resolution& r) {
  const int32_t rows = BandRows(r.width, r.height);
  return r.xMajor ? std::max(rows, std::min(kPixelsPerLine, r.height)) : rows;
}

void ConvertBand(const uint8_t* band, int32_t width, const BandPlace& place, const PixelConversion& how,
                 float* out) {
  const size_t rowFloats = static_cast<size_t>(width) * 3;
  const int32_t left = place.left, n = std::min(place.right, width) - left;
  for (int32_t j = 0; j < place.count; ++j) {
    float* row = out + (place.bottomUp ? place.count - 1 - j : j) * rowFloats + 3 * static_cast<size_t>(left);
    RGBEToFloatRow(row, band + (static_cast<size_t>(j) * width + left) * 4, n, how.cpu);
    if (place.mirrored) ReversePixels(row, width);
    if (how.xyz) XYZToRGBRow(row, n);
  }
}

ScanlineBands::ScanlineBands(ScanlineDecoder& decoder, const Resolution& r)
    : decoder_(decoder), r_(r), bandRows_(BandRows(r.width, r.height)), filled_(r.height) {}

bool ScanlineBands::Next(uint8_t* band, BandPlace* place) {
  const int32_t w = r_.width, h = r_.height;
  if (done_ || next_ >= h) return false;
  const int32_t k0 = next_, n = std::min(bandRows_, h - k0);
  int32_t got = 0;
  const Result result = decoder_.DecodeScanlines(band, w, n, false, &got);
  if (result != Result::kOk) {  // this band is the last
    done_ = true;
    filled_ = k0 + got;
    result_ = result;
    // A corrupt band is not given, nor one the input held nothing of.
    if (result == Result::kCorrupt || got == 0) return false;
  }
  // Scanline k is row k, or row h - 1 - k when the file starts at the
  // bottom. Scanlines that took nothing from the input are left out.
  *place = BandPlace{r_.reverseScanlines ? h - k0 - got : k0, got, r_.reverseScanlines, r_.reversePixels};
  next_ = k0 + n;
  return true;
}

void ScanlineBands::Drain(uint8_t* scratch) {
  BandPlace place;
  while (Next(scratch, &place)) {
  }
}

HeldPixels PixelsHeld(const Resolution& r, int32_t filled) {
  if (!r.xMajor) return HeldPixels{r.reverseScanlines ? r.height - filled : 0, filled, 0, r.width};
  // Each scanline is a column, from the right when they are reversed.
  const int32_t left = r.reverseScanlines ? r.width - filled : 0;
  return HeldPixels{0, filled > 0 ? r.height : 0, left, left + filled};
}

PictureBands::PictureBands(const uint8_t* picture, const Resolution& r, const HeldPixels& area)
    : picture_(picture), r_(r), area_(area), bandRows_(WholeBandRows(r)), next_(area.firstRow) {}

bool PictureBands::Next(uint8_t* band, BandPlace* place) {
  const int32_t end = area_.firstRow + area_.rows;
  if (next_ >= end) return false;
  const int32_t y0 = next_, n = std::min(bandRows_, end - y0);
  next_ = y0 + n;
  if (r_.xMajor) {
    GatherRows(picture_, r_, y0, n, area_.left, area_.right, band);
    *place = BandPlace{y0, n, false, false, area_.left, area_.right};
    return true;
  }
  const size_t rowBytes = static_cast<size_t>(r_.width) * 4;
  for (int32_t j = 0; j < n; ++j) {
    const int32_t k = r_.reverseScanlines ? r_.height - 1 - (y0 + j) : y0 + j;
    std::memcpy(band + j * rowBytes, picture_ + k * rowBytes, rowBytes);
  }
  *place = BandPlace{y0, n, false, r_.reversePixels};
  return true;
}
