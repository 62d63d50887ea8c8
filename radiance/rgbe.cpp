#include "radiance/radiance.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace rgbe_rows {

void Baseline(float* out, const uint8_t* pixels, int32_t count) {
  int32_t i = 0;
#if defined(__SSE2__)
  // Four pixels a step: each pixel's four bytes widened to four floats,
  // each plus 0.5 and times the pixel's scale, the same float operations as
  // RGBEToFloat. From exponent 10 on, the scale 2^(e - 136) is a normal
  // float whose bits are (e - 9) << 23, made in the register; smaller
  // exponents (0, and the subnormal scales) take the table. Each store is
  // 16 bytes; its fourth float (from the exponent) lands where the next
  // pixel's red goes and is overwritten by it, so the last pixel is always
  // left to the scalar code.
  const __m128i zero = _mm_setzero_si128();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i nine = _mm_set1_epi32(9);
  auto store = [&](float* o, __m128i wide) {
    const __m128i exponent = _mm_shuffle_epi32(wide, _MM_SHUFFLE(3, 3, 3, 3));
    const __m128 scale = _mm_castsi128_ps(_mm_slli_epi32(_mm_sub_epi32(exponent, nine), 23));
    _mm_storeu_ps(o, _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(wide), half), scale));
  };
  auto storeFromTable = [&](float* o, __m128i wide, uint8_t exponent) {
    const __m128 values = _mm_add_ps(_mm_cvtepi32_ps(wide), half);
    _mm_storeu_ps(o, _mm_mul_ps(values, _mm_set1_ps(kRGBEScale.scale[exponent])));
  };
  const __m128i exponentBytes = _mm_set1_epi32(static_cast<int>(0xff000000u));
  const __m128i ten = _mm_set1_epi32(static_cast<int>(10u << 24));
  for (; i + 4 < count; i += 4) {
    const uint8_t* p = pixels + 4 * static_cast<size_t>(i);
    float* o = out + 3 * static_cast<size_t>(i);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    // Exponent bytes below 10, compared unsigned through their top bits.
    const __m128i e = _mm_and_si128(bytes, exponentBytes);
    const __m128i small = _mm_cmplt_epi32(_mm_xor_si128(e, _mm_set1_epi32(INT32_MIN)),
                                          _mm_xor_si128(ten, _mm_set1_epi32(INT32_MIN)));
    if (_mm_movemask_epi8(small) == 0) {
      store(o, _mm_unpacklo_epi16(low, zero));
      store(o + 3, _mm_unpackhi_epi16(low, zero));
      store(o + 6, _mm_unpacklo_epi16(high, zero));
      store(o + 9, _mm_unpackhi_epi16(high, zero));
    } else {
      storeFromTable(o, _mm_unpacklo_epi16(low, zero), p[3]);
      storeFromTable(o + 3, _mm_unpackhi_epi16(low, zero), p[7]);
      storeFromTable(o + 6, _mm_unpacklo_epi16(high, zero), p[11]);
      storeFromTable(o + 9, _mm_unpackhi_epi16(high, zero), p[15]);
    }
  }
#endif
  for (; i < count; ++i)
    RGBEToFloat(out + 3 * static_cast<size_t>(i), pixels + 4 * static_cast<size_t>(i));
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Eight pixels a step, two in each 256-bit register, with the same float
// operations as the SSE2 code; groups holding an exponent below 10 go the
// scalar way. About twice as fast where the processor has AVX2.
__attribute__((target("avx2"))) void AVX2(float* out, const uint8_t* pixels, int32_t count) {
  int32_t i = 0;
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i nine = _mm256_set1_epi32(9);
  const __m256i ten = _mm256_set1_epi32(10);
  for (; i + 8 < count; i += 8) {
    const uint8_t* p = pixels + 4 * static_cast<size_t>(i);
    float* o = out + 3 * static_cast<size_t>(i);
    const __m256i exponents = _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 24);
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(ten, exponents)) != 0) {
      for (int k = 0; k < 8; ++k) RGBEToFloat(o + 3 * k, p + 4 * k);
      continue;
    }
    for (int q = 0; q < 4; ++q) {
      const __m256i wide = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * q)));
      const __m256i exponent = _mm256_shuffle_epi32(wide, _MM_SHUFFLE(3, 3, 3, 3));
      const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_sub_epi32(exponent, nine), 23));
      const __m256 values = _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(wide), half), scale);
      // As in the SSE2 code, each pixel's fourth float is overwritten by
      // the next pixel's red; the last pixel is left to the scalar code.
      _mm_storeu_ps(o + 6 * q, _mm256_castps256_ps128(values));
      _mm_storeu_ps(o + 6 * q + 3, _mm256_extractf128_ps(values, 1));
    }
  }
  for (; i < count; ++i)
    RGBEToFloat(out + 3 * static_cast<size_t>(i), pixels + 4 * static_cast<size_t>(i));
}

#else
void AVX2(float* out, const uint8_t* pixels, int32_t count) { Baseline(out, pixels, count); }
#endif

}  // namespace rgbe_rows

void RGBEToFloatRow(float* out, const uint8_t* pixels, int32_t count, CpuFeatures cpu) {
  if (cpu.avx2)
    rgbe_rows::AVX2(out, pixels, count);
  else
    rgbe_rows::Baseline(out, pixels, count);
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
