// Decoding scanlines and placing them upright, a band of rows at a time.
#include <algorithm>
#include <cstring>

#include "driver/converter.h"

namespace {

// A band of about this size is large enough that writing it costs one
// system call among a few hundred microseconds of copying, and that the
// two threads hand bands over rarely; small enough that its scanlines stay
// in the cache from decoding to converting. (Measured at 8192 x 4096: 256
// KiB and 4 MiB bands were both about 10 % slower.)
constexpr uint64_t kBandBytes = 1 << 20;

// Swaps the pixels of a row end for end, for scanlines stored right to left.
void ReversePixels(float* row, int32_t width) {
  for (int32_t a = 0, b = width - 1; a < b; ++a, --b)
    for (int c = 0; c < 3; ++c) std::swap(row[3 * static_cast<size_t>(a) + c], row[3 * static_cast<size_t>(b) + c]);
}

// Rows y0 to y0 + count - 1 of an X-major picture, upright and left to
// right, as rows of RGBE pixels in band. Each scanline is a column; taking
// count pixels of every column in turn reads each column's few cache lines
// once, where placing whole columns would touch a new row, and page, with
// every pixel.
void GatherRows(const uint8_t* picture, const Resolution& r, int32_t y0, int32_t count,
                uint8_t* band) {
  const int32_t w = r.width, h = r.height;
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  for (int32_t x = 0; x < w; ++x) {
    const int32_t k = r.reverseScanlines ? w - 1 - x : x;
    const uint8_t* column = picture + static_cast<size_t>(k) * h * 4;
    uint8_t* out = band + 4 * static_cast<size_t>(x);
    for (int32_t j = 0; j < count; ++j, out += rowBytes) {
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

void ConvertBand(const uint8_t* band, int32_t width, const BandPlace& place, bool xyz, float* out) {
  const size_t rowFloats = static_cast<size_t>(width) * 3;
  for (int32_t j = 0; j < place.count; ++j) {
    float* row = out + (place.bottomUp ? place.count - 1 - j : j) * rowFloats;
    RGBEToFloatRow(row, band + static_cast<size_t>(j) * width * 4, width);
    if (place.mirrored) ReversePixels(row, width);
    if (xyz) XYZToRGBRow(row, width);
  }
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

DecodeResult StreamPicture(InputStream& in, const Resolution& r, uint8_t* scratch, BandSink* sink) {
  const int32_t w = r.width, h = r.height, bandRows = BandRows(w);
  bool endedEarly = false;
  for (int32_t k0 = 0; k0 < h; k0 += bandRows) {
    const int32_t n = std::min(bandRows, h - k0);
    uint8_t* band = sink ? sink->TakeBand() : nullptr;
    if (!band) sink = nullptr;
    switch (DecodeScanlines(in, w, n, band ? band : scratch)) {
      case DecodeResult::kFatal:
        return DecodeResult::kFatal;
      case DecodeResult::kEndedEarly:
        endedEarly = true;
        break;
      case DecodeResult::kComplete:
        break;
    }
    // Scanline k is row k, or row h - 1 - k when the file starts at the bottom.
    if (band)
      sink->GiveBand(band, BandPlace{r.reverseScanlines ? h - k0 - n : k0, n, r.reverseScanlines,
                                     r.reversePixels});
  }
  return endedEarly ? DecodeResult::kEndedEarly : DecodeResult::kComplete;
}

void PlacePicture(const uint8_t* picture, const Resolution& r, BandSink* sink) {
  const int32_t w = r.width, h = r.height, bandRows = BandRows(w);
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  for (int32_t y0 = 0; y0 < h; y0 += bandRows) {
    const int32_t n = std::min(bandRows, h - y0);
    uint8_t* band = sink->TakeBand();
    if (!band) return;
    if (r.xMajor) {
      GatherRows(picture, r, y0, n, band);
      sink->GiveBand(band, BandPlace{y0, n, false, false});
      continue;
    }
    for (int32_t j = 0; j < n; ++j) {
      const int32_t k = r.reverseScanlines ? h - 1 - (y0 + j) : y0 + j;
      std::memcpy(band + j * rowBytes, picture + k * rowBytes, rowBytes);
    }
    sink->GiveBand(band, BandPlace{y0, n, false, r.reversePixels});
  }
}
