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
// Eight pixels a step, stored as three whole registers of eight floats,
// with the same float operations as the SSE2 code; groups holding an
// exponent below 10 go the scalar way. Each register's eight mantissas and
// their eight exponents are picked from sixteen bytes of the pixels, copied
// to both halves of a register, by one byte shuffle each, which leaves them
// widened to 32 bits: few shuffles and no overlapping stores.
__attribute__((target("avx2"))) void AVX2(float* out, const uint8_t* pixels, int32_t count) {
  // For output register r, the pixels' bytes from 8 * r on: the byte each
  // of its eight floats comes from, and that pixel's exponent byte (-1:
  // a zero byte).
#define CORVALIN_LANES(a, b, c, d) a, -1, -1, -1, b, -1, -1, -1, c, -1, -1, -1, d, -1, -1, -1
  const __m256i mantissas[3] = {
      _mm256_setr_epi8(CORVALIN_LANES(0, 1, 2, 4), CORVALIN_LANES(5, 6, 8, 9)),
      _mm256_setr_epi8(CORVALIN_LANES(2, 4, 5, 6), CORVALIN_LANES(8, 9, 10, 12)),
      _mm256_setr_epi8(CORVALIN_LANES(5, 6, 8, 9), CORVALIN_LANES(10, 12, 13, 14))};
  const __m256i exponents[3] = {
      _mm256_setr_epi8(CORVALIN_LANES(3, 3, 3, 7), CORVALIN_LANES(7, 7, 11, 11)),
      _mm256_setr_epi8(CORVALIN_LANES(3, 7, 7, 7), CORVALIN_LANES(11, 11, 11, 15)),
      _mm256_setr_epi8(CORVALIN_LANES(7, 7, 11, 11), CORVALIN_LANES(11, 15, 15, 15))};
#undef CORVALIN_LANES
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i nine = _mm256_set1_epi32(9);
  const __m256i ten = _mm256_set1_epi32(10);
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const uint8_t* p = pixels + 4 * static_cast<size_t>(i);
    float* o = out + 3 * static_cast<size_t>(i);
    const __m256i all = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(ten, _mm256_srli_epi32(all, 24))) != 0) {
      for (int k = 0; k < 8; ++k) RGBEToFloat(o + 3 * k, p + 4 * k);
      continue;
    }
    for (int r = 0; r < 3; ++r) {
      const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8 * r)));
      const __m256i exponent = _mm256_shuffle_epi8(bytes, exponents[r]);
      const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_sub_epi32(exponent, nine), 23));
      const __m256 values = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(bytes, mantissas[r]));
      _mm256_storeu_ps(o + 8 * r, _mm256_mul_ps(_mm256_add_ps(values, half), scale));
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
