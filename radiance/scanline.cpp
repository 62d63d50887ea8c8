#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "radiance/radiance.h"

namespace {

// A byte the input did not have is stored as 0: a picture that ends early
// must not turn into 255-bytes, which decode to about 1.7e38.
inline uint8_t OrZero(int c) { return c < 0 ? 0 : static_cast<uint8_t>(c); }

// What a missing byte (Get's EOF or kReadFailed) says of its scanline: cut
// short by the end of the input, or unreadable.
inline Result Missing(int c) { return c == EOF ? Result::kEndedEarly : Result::kCorrupt; }

// Run-length lines exist only for these lengths: the header's length field
// has 15 bits, and very short lines gain nothing from it.
constexpr int32_t kMinRunLengthWidth = 8;
constexpr int32_t kMaxRunLengthWidth = 0x7fff;

// Successive repetition markers build one count, 8 bits at a time. From a
// shift of 32 on, any non-zero count exceeds every scanline, so the shift
// stops there and no shift is ever undefined.
constexpr unsigned kMaxShift = 32;

// Red, green and blue all 1: "repeat the pixel before".
inline bool IsMarker(const uint8_t* p) { return p[0] == 1 && p[1] == 1 && p[2] == 1; }

// Runs and literals are at most 128 bytes. Copying and filling them in
// whole 16-byte pieces, which may write up to 15 bytes past their end, is
// much cheaper than a library call for each; a plane's scratch therefore
// has that much room behind it. What lands there is overwritten by the
// plane's next run or literal, or by the next plane, before it is read.
constexpr int32_t kSpill = 16;

// How many of the n pixels at p come before the first repetition marker,
// four pixels a step where SSE2 serves.
inline size_t PlainPixels(const uint8_t* p, size_t n) {
  size_t k = 0;
#if defined(__SSE2__)
  const __m128i rgb = _mm_set1_epi32(0x00ffffff);
  const __m128i marker = _mm_set1_epi32(0x00010101);  // 1, 1, 1 in memory order
  for (; k + 4 <= n; k += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * k));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, rgb), marker)) != 0) break;
  }
#endif
  while (k < n && !IsMarker(p + 4 * k)) ++k;
  return k;
}

// Stores the n bytes at src at dst (n <= 128), reading and writing up to
// 15 bytes past them where SSE2 serves.
inline void CopyBytes(uint8_t* dst, const uint8_t* src, int32_t n) {
#if defined(__SSE2__)
  for (int32_t k = 0; k < n; k += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k)));
#else
  std::memcpy(dst, src, static_cast<size_t>(n));
#endif
}

// Stores the next n bytes of the input at dst: 0, or the last of them
// missing (Get's value), those missing being stored as 0.
inline int ReadBytes(uint8_t* dst, int32_t n, InputStream& in) {
  if (in.Buffered() >= static_cast<size_t>(n) + kSpill) {
    CopyBytes(dst, in.Peek(), n);
    in.Skip(static_cast<size_t>(n));
    return 0;
  }
  if (in.Buffered() >= static_cast<size_t>(n)) {
    std::memcpy(dst, in.Peek(), static_cast<size_t>(n));
    in.Skip(static_cast<size_t>(n));
    return 0;
  }
  int c = 0;
  for (int32_t k = 0; k < n; ++k) dst[k] = OrZero(c = in.Get());
  return c < 0 ? c : 0;  // once missing, every later byte is
}

// Stores value in the n bytes at dst (n <= 127).
inline void Fill(uint8_t* dst, uint8_t value, int32_t n) {
#if defined(__SSE2__)
  const __m128i v = _mm_set1_epi8(static_cast<char>(value));
  for (int32_t k = 0; k < n; k += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), v);
#else
  std::memset(dst, value, static_cast<size_t>(n));
#endif
}

// The bulk of a plane, decoded straight from the read buffer while it
// holds the longest code and its spill: no end of input to test for each
// byte, and the position kept in a register. Stops before a code that would
// pass the end of the plane, and near the end of the buffer, for ReadPlane
// to go on byte by byte. Returns how many bytes it stored.
inline int32_t ReadPlaneFast(uint8_t* plane, int32_t width, InputStream& in) {
  constexpr size_t kLongestCode = 1 + 128;
  if (in.Buffered() < kLongestCode + kSpill) return 0;
  const uint8_t* const start = in.Peek();
  const uint8_t* const last = start + in.Buffered() - kLongestCode - kSpill;
  const uint8_t* src = start;
  int32_t j = 0;
  while (j < width && src <= last) {
    const int32_t code = src[0];
    const bool run = code > 128;
    const int32_t n = run ? code & 127 : code;
    if (n > width - j) break;
    if (run) {
      Fill(plane + j, src[1], n);
      src += 2;
    } else {
      CopyBytes(plane + j, src + 1, n);
      src += 1 + n;
    }
    j += n;
  }
  in.Skip(static_cast<size_t>(src - start));
  return j;
}

// Decodes one component of a run-length line into a plane of width bytes
// (with kSpill bytes of room after it), and says how that went: kCorrupt
// where a run or literal would pass the end (which is checked before any
// of its bytes is read), or as Missing says where a byte is missing.
// *stored: how many bytes it stored, in order from the first (the missing
// ones as 0).
Result ReadPlane(uint8_t* plane, int32_t width, InputStream& in, int32_t* stored) {
  int32_t j = ReadPlaneFast(plane, width, in);
  Result found = Result::kOk;
  while (j < width) {
    const int code = in.Get();
    const bool run = code > 128;
    const int32_t n = run ? code & 127 : code;
    if (code < 0 || n > width - j) {
      found = code < 0 ? Missing(code) : Result::kCorrupt;
      break;
    }
    const int last = run ? in.Get() : ReadBytes(plane + j, n, in);
    if (run) Fill(plane + j, OrZero(last), n);
    j += n;
    if (last < 0) {
      found = Missing(last);
      break;
    }
  }
  *stored = j;
  return found;
}

// Component c of the first count pixels of the scanline, from its plane.
void InterleaveComponent(uint8_t* scanline, const uint8_t* plane, int c, int32_t count) {
  for (int32_t i = 0; i < count; ++i) scanline[4 * i + c] = plane[i];
}

// The whole scanline from its four planes (each width bytes, one after the
// other), sixteen pixels at a time where SSE2 serves.
void Interleave(uint8_t* scanline, const uint8_t* planes, int32_t width) {
  const uint8_t* r = planes;
  const uint8_t* g = planes + width;
  const uint8_t* b = planes + 2 * width;
  const uint8_t* e = planes + 3 * width;
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= width; i += 16) {
    const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
    const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i ve = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + i));
    const __m128i rgLow = _mm_unpacklo_epi8(vr, vg), rgHigh = _mm_unpackhi_epi8(vr, vg);
    const __m128i beLow = _mm_unpacklo_epi8(vb, ve), beHigh = _mm_unpackhi_epi8(vb, ve);
    __m128i* out = reinterpret_cast<__m128i*>(scanline + 4 * i);
    _mm_storeu_si128(out, _mm_unpacklo_epi16(rgLow, beLow));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(rgLow, beLow));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(rgHigh, beHigh));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(rgHigh, beHigh));
  }
#endif
  for (; i < width; ++i) {
    uint8_t* p = scanline + 4 * i;
    p[0] = r[i], p[1] = g[i], p[2] = b[i], p[3] = e[i];
  }
}

// Room for the four planes of the longest run-length line (128 KiB), and
// for the last piece's spill. Runs and literals fill a plane in 16-byte
// pieces, far cheaper than writing every fourth byte of the scanline.
constexpr size_t kPlanesBytes = 4 * kMaxRunLengthWidth + kSpill;

}  // namespace

ScanlineDecoder::ScanlineDecoder(InputStream& in) : in_(in), planes_(new (std::nothrow) uint8_t[kPlanesBytes]) {}

Result ScanlineDecoder::ReadFlat(uint8_t* pixels, int32_t count, bool followsPixel) {
  InputStream& in = in_;
  unsigned shift = 0;
  int32_t i = 0;
  while (i < count) {
    // Plain pixels go straight from the read buffer, up to the next marker.
    const size_t buffered = std::min(in.Buffered() / 4, static_cast<size_t>(count - i));
    const uint8_t* src = in.Peek();
    const size_t plain = PlainPixels(src, buffered);
    if (plain > 0) {
      std::memcpy(pixels + 4 * static_cast<size_t>(i), src, 4 * plain);
      in.Skip(4 * plain);
      i += static_cast<int32_t>(plain);
      shift = 0;
      continue;
    }

    // One pixel: a marker, or a pixel split across the end of the buffer.
    uint8_t* px = pixels + 4 * static_cast<size_t>(i);
    if (buffered > 0) {
      std::memcpy(px, src, 4);
      in.Skip(4);
    } else {
      const int last = ReadBytes(px, 4, in);
      if (last < 0) return Missing(last);
    }
    if (!IsMarker(px)) {
      ++i;
      shift = 0;
      continue;
    }
    // A repetition marker: the pixel before, (exponent << shift) times,
    // written over the marker and the places after it.
    if (i == 0 && !followsPixel) return Result::kCorrupt;
    const uint64_t repeat = static_cast<uint64_t>(px[3]) << shift;
    if (repeat > static_cast<uint64_t>(count - i)) return Result::kCorrupt;
    const uint8_t* previous = px - 4;
    for (uint64_t r = 0; r < repeat; ++r) std::memcpy(px + 4 * r, previous, 4);
    i += static_cast<int32_t>(repeat);
    shift = shift + 8 < kMaxShift ? shift + 8 : kMaxShift;
  }
  return Result::kOk;
}

Result ScanlineDecoder::Decode(uint8_t* scanline, int32_t width) {
  InputStream& in = in_;
  if (width < kMinRunLengthWidth || width > kMaxRunLengthWidth) return ReadFlat(scanline, width);

  const int first = in.Get();
  if (first < 0) return Missing(first);
  if (first != 2) {
    // Flat data starts here; the flat reader wants the byte back.
    in.Unget();
    return ReadFlat(scanline, width);
  }
  scanline[1] = OrZero(in.Get());
  scanline[2] = OrZero(in.Get());
  const int low = in.Get();
  if (low < 0) return Missing(low);
  if (scanline[1] != 2 || (scanline[2] & 0x80) != 0) {
    // A flat pixel that happens to start with 2: it has been read whole.
    scanline[0] = 2;
    scanline[3] = static_cast<uint8_t>(low);
    return ReadFlat(scanline + 4, width - 1, true);
  }
  if (scanline[2] * 256 + low != width) return Result::kCorrupt;

  // Each plane decoded lands in the scanline only as far as it got: a line
  // that fails leaves every byte it did not reach as it was.
  for (int c = 0; c < 4; ++c) {
    int32_t stored = 0;
    const Result found = ReadPlane(planes_.get() + c * width, width, in, &stored);
    if (found != Result::kOk) {
      for (int done = 0; done < c; ++done) InterleaveComponent(scanline, planes_.get() + done * width, done, width);
      InterleaveComponent(scanline, planes_.get() + c * width, c, stored);
      return found;
    }
  }
  Interleave(scanline, planes_.get(), width);
  return Result::kOk;
}

Result ScanlineDecoder::DecodeScanlines(uint8_t* scanlines, int32_t length, int32_t count, bool zeroed,
                                        int32_t* filled) {
  const size_t bytes = static_cast<size_t>(length) * 4;
  *filled = count;
  for (int32_t k = 0; k < count; ++k) {
    uint8_t* scanline = scanlines + static_cast<size_t>(k) * bytes;
    // A scanline the input does not hold whole must not show what the
    // buffer held before: what the decoder does not reach stays 0.
    if (!zeroed) std::memset(scanline, 0, bytes);
    const uint64_t before = in_.Taken();
    const Result found = Decode(scanline, length);
    if (found == Result::kOk) continue;
    if (found == Result::kEndedEarly) {
      // The input ended here: the rest are zeros.
      *filled = in_.Taken() > before ? k + 1 : k;
      if (!zeroed) std::memset(scanline + bytes, 0, bytes * static_cast<size_t>(count - k - 1));
    }
    return found;
  }
  return Result::kOk;
}
