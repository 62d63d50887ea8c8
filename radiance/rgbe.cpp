#include "radiance/radiance.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void RGBEToFloatRow(float* out, const uint8_t* pixels, int32_t count) {
  int32_t i = 0;
#if defined(__SSE2__)
  // Four pixels a step: each pixel's four bytes widened to four floats, each
  // plus 0.5 and times the pixel's scale, the same float operations as
  // RGBEToFloat. Each store is 16 bytes; its fourth float (from the
  // exponent) lands where the next pixel's red goes and is overwritten by
  // it, so the last pixel is always left to the scalar code.
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  auto store = [&](float* out, __m128i wide, uint8_t exponent) {
    const __m128 values = _mm_add_ps(_mm_cvtepi32_ps(wide), half);
    _mm_storeu_ps(out, _mm_mul_ps(values, _mm_set1_ps(kRGBEScale.scale[exponent])));
  };
  for (; i + 4 < count; i += 4) {
    const uint8_t* p = pixels + 4 * static_cast<size_t>(i);
    float* o = out + 3 * static_cast<size_t>(i);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    store(o, _mm_unpacklo_epi16(low, zero), p[3]);
    store(o + 3, _mm_unpackhi_epi16(low, zero), p[7]);
    store(o + 6, _mm_unpacklo_epi16(high, zero), p[11]);
    store(o + 9, _mm_unpackhi_epi16(high, zero), p[15]);
  }
#endif
  for (; i < count; ++i)
    RGBEToFloat(out + 3 * static_cast<size_t>(i), pixels + 4 * static_cast<size_t>(i));
}

namespace {

// XYZ to RGB for the primaries above, worked out in double from the
// chromaticities. The rows are written as they must be rounded: these
// literals, and no others, make results that agree across builds.
constexpr double kXYZToRGB[3][3] = {
    {2.5653128430296381, -1.1668496158068056, -0.39846322722283212},
    {-1.0221081721279117, 1.9782866166600868, 0.043821555467824735},
    {0.074724377296855909, -0.25193956717027349, 1.1772151898734171},
};

}  // namespace

// This file is built with -ffp-contract=off, so that no compiler fuses a
// multiply and an add here and the results stay as specified.
void XYZToRGBRow(float* floats, int32_t count) {
  for (int32_t i = 0; i < count; ++i, floats += 3) {
    const double x = floats[0], y = floats[1], z = floats[2];
    for (int c = 0; c < 3; ++c) {
      const double* m = kXYZToRGB[c];
      floats[c] = static_cast<float>((m[0] * x + m[1] * y) + m[2] * z);
    }
  }
}
