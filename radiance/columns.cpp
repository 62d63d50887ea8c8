// X-major pictures: their scanlines are the picture's columns, turned
// into upright rows here.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "radiance/radiance.h"

// Each scanline is a column; taking a few pixels of every column in turn
// reads each column's cache lines once, where placing whole columns would
// touch a new row, and page, with every pixel. Where SSE2 serves, four rows
// of four columns at a time, as a 4 x 4 transpose of the four-byte pixels.
void GatherRows(const uint8_t* picture, const Resolution& r, int32_t y0, int32_t count, int32_t left,
                int32_t right, uint8_t* rows) {
  const int32_t w = r.width, h = r.height;
  const size_t rowBytes = static_cast<size_t>(w) * 4;
  auto column = [&](int32_t x) {
    const int32_t k = r.reverseScanlines ? w - 1 - x : x;
    return picture + static_cast<size_t>(k) * h * 4;
  };
  // Where row y lies within a column.
  auto index = [&](int32_t y) { return r.reversePixels ? h - 1 - y : y; };
  auto one = [&](int32_t x, int32_t j) {
    std::memcpy(rows + j * rowBytes + 4 * static_cast<size_t>(x),
                column(x) + 4 * static_cast<size_t>(index(y0 + j)), 4);
  };
  int32_t x = left;
#if defined(__SSE2__)
  // Four columns at a time, all the rows of each (a cache line of a column
  // holds 16 of its pixels): every line is read once and used whole.
  for (; x + 4 <= right; x += 4) {
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
      uint8_t* out = rows + j * rowBytes + 4 * static_cast<size_t>(x);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(a, b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + rowBytes), _mm_unpackhi_epi64(a, b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * rowBytes), _mm_unpacklo_epi64(e, f));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * rowBytes), _mm_unpackhi_epi64(e, f));
    }
    for (; j < count; ++j)
      for (int32_t t = 0; t < 4; ++t) one(x + t, j);
  }
#endif
  for (; x < right; ++x)
    for (int32_t j = 0; j < count; ++j) one(x, j);
}

