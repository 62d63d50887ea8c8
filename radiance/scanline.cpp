#include <algorithm>
#include <cstring>

#include "radiance/radiance.h"

namespace {

// A byte the input did not have is stored as 0: a picture that ends early
// must not turn into 255-bytes, which decode to about 1.7e38.
inline uint8_t OrZero(int c) { return c == EOF ? 0 : static_cast<uint8_t>(c); }

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

// Stores n bytes of one component (every fourth byte from dst).
inline void ReadLiteral(uint8_t* dst, int32_t n, InputStream& in) {
  if (in.Buffered() >= static_cast<size_t>(n)) {
    const uint8_t* src = in.Peek();
    for (int32_t k = 0; k < n; ++k) dst[4 * k] = src[k];
    in.Skip(n);
    return;
  }
  for (int32_t k = 0; k < n; ++k) dst[4 * k] = OrZero(in.Get());
}

}  // namespace

int ReadOldScanline(uint8_t* pixels, int32_t count, InputStream& in,
                    bool followsPixel) {
  unsigned shift = 0;
  int32_t i = 0;
  while (i < count) {
    // Plain pixels go straight from the read buffer, up to the next marker.
    const size_t buffered = std::min(in.Buffered() / 4, static_cast<size_t>(count - i));
    const uint8_t* src = in.Peek();
    size_t plain = 0;
    while (plain < buffered && !IsMarker(src + 4 * plain)) ++plain;
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
      for (int k = 0; k < 4; ++k) px[k] = OrZero(in.Get());
      if (in.AtEnd()) return -1;
    }
    if (!IsMarker(px)) {
      ++i;
      shift = 0;
      continue;
    }
    // A repetition marker: the pixel before, (exponent << shift) times,
    // written over the marker and the places after it.
    if (i == 0 && !followsPixel) return -1;
    const uint64_t repeat = static_cast<uint64_t>(px[3]) << shift;
    if (repeat > static_cast<uint64_t>(count - i)) return -1;
    const uint8_t* previous = px - 4;
    for (uint64_t r = 0; r < repeat; ++r) std::memcpy(px + 4 * r, previous, 4);
    i += static_cast<int32_t>(repeat);
    shift = shift + 8 < kMaxShift ? shift + 8 : kMaxShift;
  }
  return 0;
}

int ReadScanline(uint8_t* scanline, int32_t width, InputStream& in) {
  if (width < kMinRunLengthWidth || width > kMaxRunLengthWidth)
    return ReadOldScanline(scanline, width, in);

  const int first = in.Get();
  if (first == EOF) return -1;
  if (first != 2) {
    // Flat data starts here; the flat reader wants the byte back.
    in.Unget();
    return ReadOldScanline(scanline, width, in);
  }
  scanline[1] = OrZero(in.Get());
  scanline[2] = OrZero(in.Get());
  const int low = in.Get();
  if (low == EOF) return -1;
  if (scanline[1] != 2 || (scanline[2] & 0x80) != 0) {
    // A flat pixel that happens to start with 2: it has been read whole.
    scanline[0] = 2;
    scanline[3] = static_cast<uint8_t>(low);
    return ReadOldScanline(scanline + 4, width - 1, in, true);
  }
  if (scanline[2] * 256 + low != width) return -1;

  for (int c = 0; c < 4; ++c) {
    uint8_t* dst = scanline + c;
    int32_t j = 0;
    while (j < width) {
      const int code = in.Get();
      if (code == EOF) return -1;
      const int32_t room = width - j;
      if (code > 128) {
        const int32_t n = code & 127;
        if (n > room) return -1;
        const uint8_t value = OrZero(in.Get());
        for (int32_t k = 0; k < n; ++k) dst[4 * (j + k)] = value;
        j += n;
      } else {
        if (code > room) return -1;
        ReadLiteral(dst + 4 * j, code, in);
        j += code;
      }
    }
  }
  // The last component's bytes were stored unchecked; if they ran out, or a
  // read failed, the line is not whole.
  return in.AtEnd() ? -1 : 0;
}
