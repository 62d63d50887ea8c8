// Decoding scanlines and placing them upright, a band of rows at a time.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "driver/converter.h"

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

// Rows y0 to y0 + count - 1 of an X-major picture, upright and left to
// right, as rows of RGBE pixels in band. Each scanline is a column; taking
// a few pixels of every column in turn reads each column's cache lines
// once, where placing whole columns would touch a new row, and page, with
// every pixel. Where SSE2 serves, four rows of four columns at a time, as a
// 4 x 4 transpose of the four-byte pixels.
void GatherRows(const uint8_t* picture, const Resolution& r, int32_t y0, int32_t count,
                uint8_t* band) {
  const int32_t w = r.width, h = r.height;
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  auto column = [&](int32_t x) {
    const int32_t k = r.reverseScanlines ? w - 1 - x : x;
    return picture + static_cast<size_t>(k) * h * 4;
  };
  // Where row y lies within a column.
  auto index = [&](int32_t y) { return r.reversePixels ? h - 1 - y : y; };
  auto one = [&](int32_t x, int32_t j) {
    std::memcpy(band + j * rowBytes + 4 * static_cast<size_t>(x),
                column(x) + 4 * static_cast<size_t>(index(y0 + j)), 4);
  };
  int32_t x = 0;
#if defined(__SSE2__)
  // Four columns at a time, all the rows of each (a cache line of a column
  // holds 16 of its pixels): every line is read once and used whole.
  for (; x + 4 <= w; x += 4) {
    int32_t j = 0;
    for (; j + 4 <= count; j += 4) {
      // The four rows' pixels lie together in each column, from the lowest index.
      const size_t lowest = 4 * static_cast<size_t>(std::min(index(y0 + j), index(y0 + j + 3)));
      __m128i c[4];
      for (int t = 0; t < 4; ++t) {
        c[t] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column(x + t) + lowest));
        if (r.reversePixels) c[t] = _mm_shuffle_epi32(c[t], _MM_SHUFFLE(0, 1, 2, 3));
      }
      const __m128i a = _mm_unpacklo_epi32(c[0], c[1]), b = _mm_unpacklo_epi32(c[2], c[3]);
      const __m128i e = _mm_unpackhi_epi32(c[0], c[1]), f = _mm_unpackhi_epi32(c[2], c[3]);
      uint8_t* out = band + j * rowBytes + 4 * static_cast<size_t>(x);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(a, b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + rowBytes), _mm_unpackhi_epi64(a, b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * rowBytes), _mm_unpacklo_epi64(e, f));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * rowBytes), _mm_unpackhi_epi64(e, f));
    }
    for (; j < count; ++j)
      for (int32_t t = 0; t < 4; ++t) one(x + t, j);
  }
#endif
  for (; x < w; ++x)
    for (int32_t j = 0; j < count; ++j) one(x, j);
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

int32_t HeldBandRows(const Resolution& r) {
  const int32_t rows = BandRows(r.width, r.height);
  return r.xMajor ? std::max(rows, std::min(kPixelsPerLine, r.height)) : rows;
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

DecodeResult DecodeScanlines(InputStream& in, int32_t length, int32_t count, uint8_t* scanlines,
                             bool zeroed, int32_t* held) {
  const size_t bytes = static_cast<size_t>(length) * 4;
  bool endedEarly = false;
  if (held) *held = count;
  for (int32_t k = 0; k < count; ++k) {
    uint8_t* scanline = scanlines + static_cast<size_t>(k) * bytes;
    if (in.AtEndOfData()) {
      // Nothing more to read: the rest are zeros, and the file ended early.
      if (!zeroed) std::memset(scanline, 0, bytes * static_cast<size_t>(count - k));
      if (held) *held = k;
      return DecodeResult::kEndedEarly;
    }
    // A scanline the file does not hold whole must not show what the
    // buffer held before: what the decoder does not reach stays 0.
    if (!zeroed) std::memset(scanline, 0, bytes);
    if (ReadScanline(scanline, length, in) != 0) {
      if (!in.Eof()) return DecodeResult::kFatal;
      endedEarly = true;
    }
  }
  return endedEarly ? DecodeResult::kEndedEarly : DecodeResult::kComplete;
}

DecodeResult StreamPicture(InputStream& in, const Resolution& r, uint8_t* scratch, BandSink* sink,
                           int32_t* held) {
  const int32_t w = r.width, h = r.height, bandRows = BandRows(w, h);
  *held = h;
  for (int32_t k0 = 0; k0 < h; k0 += bandRows) {
    const int32_t n = std::min(bandRows, h - k0);
    if (in.AtEndOfData()) {  // the rest of the picture is missing
      *held = k0;
      return DecodeResult::kEndedEarly;
    }
    uint8_t* band = sink ? sink->TakeBand() : nullptr;
    if (!band) sink = nullptr;
    int32_t got = 0;
    const DecodeResult result = DecodeScanlines(in, w, n, band ? band : scratch, false, &got);
    if (result == DecodeResult::kFatal) return result;
    // Scanline k is row k, or row h - 1 - k when the file starts at the
    // bottom. Scanlines that took nothing from the file are left out.
    if (band)
      sink->GiveBand(band, BandPlace{r.reverseScanlines ? h - k0 - got : k0, got, r.reverseScanlines,
                                     r.reversePixels});
    if (result == DecodeResult::kEndedEarly) {
      *held = k0 + got;
      return result;
    }
  }
  return DecodeResult::kComplete;
}

void RowsHeld(const Resolution& r, int32_t held, int32_t* first, int32_t* count) {
  if (r.xMajor) {
    *first = 0;
    *count = held > 0 ? r.height : 0;
  } else {
    *first = r.reverseScanlines ? r.height - held : 0;
    *count = held;
  }
}

void PlacePicture(const uint8_t* picture, const Resolution& r, int32_t first, int32_t count,
                  BandSink* sink) {
  const int32_t w = r.width, h = r.height, bandRows = HeldBandRows(r);
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  for (int32_t y0 = first; y0 < first + count; y0 += bandRows) {
    const int32_t n = std::min(bandRows, first + count - y0);
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
