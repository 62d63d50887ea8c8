// Decoding scanlines and placing them upright, a band of rows at a time.
#include <algorithm>
#include <cstring>

#include "driver/converter.h"

namespace {

// A band of about this size is large enough that writing it costs one
// system call among many microseconds of copying, and small enough that
// the scanlines it comes from stay in the cache while they are converted.
constexpr uint64_t kBandBytes = 1 << 20;

// Swaps the pixels of a row end for end, for scanlines stored right to left.
void ReversePixels(float* row, int32_t width) {
  for (int32_t a = 0, b = width - 1; a < b; ++a, --b)
    for (int c = 0; c < 3; ++c) std::swap(row[3 * static_cast<size_t>(a) + c], row[3 * static_cast<size_t>(b) + c]);
}

// One scanline's RGBE pixels as one upright row of floats.
void ConvertRow(float* out, const uint8_t* scanline, int32_t width, bool reverse, bool xyz) {
  RGBEToFloatRow(out, scanline, width);
  if (reverse) ReversePixels(out, width);
  if (xyz) XYZToRGBRow(out, width);
}

// Rows y0 to y0 + count - 1 of an X-major picture, as rows of RGBE pixels
// in tile. Each scanline is a column; taking count pixels of every column
// in turn reads each column's few cache lines once, where placing whole
// columns would touch a new row, and page, with every pixel.
void GatherRows(const uint8_t* picture, const Resolution& r, int32_t y0, int32_t count,
                uint8_t* tile) {
  const int32_t w = r.width, h = r.height;
  for (int32_t x = 0; x < w; ++x) {
    const int32_t k = r.reverseScanlines ? w - 1 - x : x;
    const uint8_t* column = picture + static_cast<size_t>(k) * h * 4;
    uint8_t* out = tile + 4 * static_cast<size_t>(x);
    for (int32_t j = 0; j < count; ++j, out += 4 * static_cast<size_t>(w)) {
      const int32_t i = r.reversePixels ? h - 1 - (y0 + j) : y0 + j;
      std::memcpy(out, column + 4 * static_cast<size_t>(i), 4);
    }
  }
}

}  // namespace

int32_t BandRows(int32_t width) {
  const uint64_t rowBytes = static_cast<uint64_t>(width > 0 ? width : 1) * 12;
  return static_cast<int32_t>(std::max<uint64_t>(1, kBandBytes / rowBytes));
}

DecodeResult DecodeScanlines(InputStream& in, int32_t length, int32_t count, uint8_t* scanlines) {
  const size_t bytes = static_cast<size_t>(length) * 4;
  bool endedEarly = false;
  for (int32_t k = 0; k < count; ++k) {
    uint8_t* scanline = scanlines + static_cast<size_t>(k) * bytes;
    // A scanline the file does not hold whole must not show what the
    // buffer held before: what the decoder does not reach stays 0.
    std::memset(scanline, 0, bytes);
    if (ReadScanline(scanline, length, in) != 0) {
      if (!in.Eof()) return DecodeResult::kFatal;
      endedEarly = true;
    }
  }
  return endedEarly ? DecodeResult::kEndedEarly : DecodeResult::kComplete;
}

DecodeResult StreamPicture(InputStream& in, const Resolution& r, bool xyz, uint8_t* scanlines,
                           BandSink* sink) {
  const int32_t w = r.width, h = r.height, bandRows = BandRows(w);
  const size_t rowFloats = static_cast<size_t>(w) * 3;
  bool endedEarly = false;
  for (int32_t k0 = 0; k0 < h; k0 += bandRows) {
    const int32_t n = std::min(bandRows, h - k0);
    switch (DecodeScanlines(in, w, n, scanlines)) {
      case DecodeResult::kFatal:
        return DecodeResult::kFatal;
      case DecodeResult::kEndedEarly:
        endedEarly = true;
        break;
      case DecodeResult::kComplete:
        break;
    }
    float* band = sink ? sink->TakeBand() : nullptr;
    if (!band) continue;
    // Scanline k is row k, or row h - 1 - k when the file starts at the
    // bottom; then the band's scanlines fill it from its last row up.
    for (int32_t j = 0; j < n; ++j) {
      const int32_t slot = r.reverseScanlines ? n - 1 - j : j;
      ConvertRow(band + slot * rowFloats, scanlines + static_cast<size_t>(j) * w * 4, w,
                 r.reversePixels, xyz);
    }
    sink->GiveBand(band, r.reverseScanlines ? h - k0 - n : k0, n);
  }
  return endedEarly ? DecodeResult::kEndedEarly : DecodeResult::kComplete;
}

void PlacePicture(const uint8_t* picture, const Resolution& r, bool xyz, uint8_t* tile,
                  BandSink* sink) {
  const int32_t w = r.width, h = r.height, bandRows = BandRows(w);
  const size_t rowFloats = static_cast<size_t>(w) * 3;
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  for (int32_t y0 = 0; y0 < h; y0 += bandRows) {
    const int32_t n = std::min(bandRows, h - y0);
    float* band = sink->TakeBand();
    if (!band) return;
    if (r.xMajor) GatherRows(picture, r, y0, n, tile);
    for (int32_t j = 0; j < n; ++j) {
      const int32_t y = y0 + j;
      if (r.xMajor) {
        ConvertRow(band + j * rowFloats, tile + j * rowBytes, w, false, xyz);
      } else {
        const int32_t k = r.reverseScanlines ? h - 1 - y : y;
        ConvertRow(band + j * rowFloats, picture + k * rowBytes, w, r.reversePixels, xyz);
      }
    }
    sink->GiveBand(band, y0, n);
  }
}
