#include <cstring>

#include "radiance/radiance.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void RGBEToFloatRow(float* out, const uint8_t* pixels, int32_t count) {
  int32_t i = 0;
#if defined(__SSE2__)
  // One pixel a step: its four bytes widened to four floats, each plus 0.5
  // and times the pixel's scale, the same float operations as RGBEToFloat.
  // The store is 16 bytes; its fourth float (from the exponent) lands where
  // the next pixel's red goes and is overwritten by it, so the last pixel is
  // left to the scalar code.
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  for (; i + 1 < count; ++i) {
    const uint8_t* p = pixels + 4 * static_cast<size_t>(i);
    int32_t bytes;
    std::memcpy(&bytes, p, 4);
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero);
    const __m128 values = _mm_add_ps(_mm_cvtepi32_ps(wide), half);
    _mm_storeu_ps(out + 3 * static_cast<size_t>(i),
                  _mm_mul_ps(values, _mm_set1_ps(kRGBEScale.scale[p[3]])));
  }
#endif
  for (; i < count; ++i)
    RGBEToFloat(out + 3 * static_cast<size_t>(i), pixels + 4 * static_cast<size_t>(i));
}
