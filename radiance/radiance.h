// Reading Radiance RGBE pictures (".hdr").
//
// A picture is a text header followed by binary scanlines:
//
//   #?RADIANCE\n                 identifying line
//   FORMAT=32-bit_rle_rgbe\n     header variables, one per line (ignored)
//   \n                           an empty line ends the header
//   -Y 480 +X 640\n              resolution line
//   <scanlines>                  480 scanlines of 640 pixels here
//
// A pixel is four bytes: red, green and blue mantissas sharing one exponent.
// A scanline is stored either flat (four bytes a pixel, with (1,1,1,n)
// meaning "repeat the pixel before") or run-length encoded: the bytes
// 2, 2, hi, lo (hi * 256 + lo = the scanline's length), then each of the four
// components for the whole line in turn as runs (code > 128: one value for
// code & 127 pixels) and literals (code <= 128: that many values).
//
// Nothing here prints; the caller decides what a result means.
#ifndef CORVALIN_RADIANCE_RADIANCE_H
#define CORVALIN_RADIANCE_RADIANCE_H

#include <cstdint>
#include <memory>

#include "radiance/input_stream.h"
#include "result/result.h"

// How the file's scanlines map onto the upright picture. The resolution
// line comes in two forms:
//   Y-major "sY Y nY sX X nX": nY scanlines of nX pixels (the usual form);
//   X-major "sX X nX sY Y nY": nX scanlines of nY pixels, each a column.
// Either way the picture is nX wide and nY high. A '+' before Y means the
// bottom row comes first; a '-' before X means right to left.
struct Resolution {
  int32_t width = 0;   // picture width, nX
  int32_t height = 0;  // picture height, nY
  bool xMajor = false;         // scanlines are columns
  bool reverseScanlines = false;  // scanline k is row/column count - 1 - k
  bool reversePixels = false;     // pixel i is column/row length - 1 - i

  int32_t ScanlineLength() const { return xMajor ? height : width; }
  int32_t ScanlineCount() const { return xMajor ? width : height; }
};

struct HeaderInfo {
  bool identified = false;      // the first line was exactly "#?RADIANCE\n"
  bool resolutionValid = false; // a resolution line matched either form
  // The pixels hold CIE X, Y, Z: the last header line starting "FORMAT="
  // gives the value 32-bit_rle_xyze (white space around it aside).
  bool xyz = false;
  Resolution resolution;
};

// Reads the identifying line, the header up to the line "\n" and the
// resolution line, leaving in at the first byte of pixel data. The header
// ends at the line "\n", at the end of the input, or at a read error;
// lines of any length are read whole. Of the header variables only FORMAT
// is read. resolutionValid is false when the resolution line matches
// neither form (a number that does not fit 32 bits does not match), when
// there is no line left to read, or when the header with its resolution
// line does not end within 16 MiB: no real header is near that long, and an
// endless input (a device, a pipe) must not be read forever.
HeaderInfo ReadHeader(InputStream& in);

// Scans one resolution line. Returns false when it matches neither form.
bool ParseResolution(const char* line, Resolution* out);

// Decodes the scanlines of a picture from in, one at a time. It holds the
// scratch room a run-length scanline is decoded in (128 KiB), so one
// decoder serves one stream on one thread.
class ScanlineDecoder {
 public:
  explicit ScanlineDecoder(InputStream& in);

  // False when the scratch room could not be had (report kNoMemory).
  bool Ok() const { return planes_ != nullptr; }

  // Decodes the next scanline, width RGBE pixels (width * 4 bytes):
  //   kOk          the scanline is whole;
  //   kEndedEarly  the input ended within it: bytes the input did not have
  //                are 0, bytes never reached are left as they were;
  //   kCorrupt     before the end of the input, the run-length header
  //                names another length, a run, literal or repetition
  //                would pass the end of the scanline, or a read failed.
  Result Decode(uint8_t* scanline, int32_t width);

  // Decodes count scanlines of length pixels into scanlines (count *
  // length * 4 bytes), each zeroed first unless zeroed says they hold zeros
  // already, so that what the input does not hold reads as 0. kOk,
  // kEndedEarly when the input ended within them, or kCorrupt (decoding
  // stops there). *filled: how many of the scanlines, from the first, took
  // any byte from the input (the rest are all zeros).
  Result DecodeScanlines(uint8_t* scanlines, int32_t length, int32_t count, bool zeroed,
                         int32_t* filled);

 private:
  // The older, flat form of count pixels, as Decode says. followsPixel:
  // pixels[-1] is a decoded pixel of the same scanline, which a repetition
  // marker in the first place may repeat.
  Result ReadFlat(uint8_t* pixels, int32_t count, bool followsPixel = false);

  InputStream& in_;
  std::unique_ptr<uint8_t[]> planes_;  // a run-length scanline's four components, one after another
};

// 2^(e - 136) for e = 1..255, and 0 for e = 0. Halving and doubling are
// exact in double, and every entry (2^-135 to 2^119) is exact in float.
struct RGBEScaleTable {
  float scale[256];
};
constexpr RGBEScaleTable MakeRGBEScaleTable() {
  RGBEScaleTable t{};
  double f = 1.0;
  for (int i = 0; i < 135; ++i) f /= 2;
  for (int e = 1; e < 256; ++e, f *= 2) t.scale[e] = static_cast<float>(f);
  return t;
}
inline constexpr RGBEScaleTable kRGBEScale = MakeRGBEScaleTable();

// Stores the pixel's red, green and blue as (m + 0.5) * 2^(e - 136), or 0.0
// for exponent 0. Every such value has at most nine significant bits and lies
// within float's range (subnormal at e = 1), so computing it in float with a
// power-of-two table gives exactly the double-precision ldexp result.
inline void RGBEToFloat(float* out, const uint8_t* pixel) {
  const float scale = kRGBEScale.scale[pixel[3]];
  out[0] = (static_cast<float>(pixel[0]) + 0.5f) * scale;
  out[1] = (static_cast<float>(pixel[1]) + 0.5f) * scale;
  out[2] = (static_cast<float>(pixel[2]) + 0.5f) * scale;
}

// Turns count pixels of X, Y, Z floats into red, green and blue in place,
// with the format's standard primaries (0.640, 0.330), (0.290, 0.600),
// (0.150, 0.060) and equal-energy white: each result is
// (m[i][0] * X + m[i][1] * Y) + m[i][2] * Z in double, in that order, with
// no fused multiply-add, rounded once to float. Nothing is clipped, so
// colours outside the primaries give negative values; zero stays +0.0.
void XYZToRGBRow(float* floats, int32_t count);

// What the processor offers the conversion of rows; the driver asks the
// system once and passes it on.
struct CpuFeatures {
  bool avx2 = false;
};

// RGBEToFloat for count pixels into consecutive floats (count * 3 of them),
// with the same results bit for bit, several times faster where SIMD serves.
void RGBEToFloatRow(float* out, const uint8_t* pixels, int32_t count, CpuFeatures cpu);

// The two ways RGBEToFloatRow has, named so that the tests can hold each to
// RGBEToFloat: Baseline, with the instructions every processor of the kind
// built for has (SSE2 on x86-64, plain C++ elsewhere), and AVX2, which
// may only run where CpuFeatures says the processor has it.
namespace rgbe_rows {
void Baseline(float* out, const uint8_t* pixels, int32_t count);
void AVX2(float* out, const uint8_t* pixels, int32_t count);
}  // namespace rgbe_rows

// Rows y0 to y0 + count - 1 of an X-major picture held whole as the file
// stores it (r.ScanlineCount() columns of r.ScanlineLength() pixels), as
// upright rows of RGBE pixels, left to right, into rows (count * width * 4
// bytes): only columns left to right - 1 of them.
void GatherRows(const uint8_t* picture, const Resolution& r, int32_t y0, int32_t count, int32_t left,
                int32_t right, uint8_t* rows);

#endif
