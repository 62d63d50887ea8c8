// Feeds arbitrary bytes through everything corvalin does with an input file:
// the header and resolution line, the size checks, every scanline's decoding,
// the placement of rows (streamed by bands, or from the picture held whole),
// and the float conversion.
//
// The first input byte is not part of the file: it picks how many bytes a
// read gives the second decoding of the same file. The first decoding
// (from memory) streams pictures stored by rows band by band; the second
// holds every picture whole. Both must agree float for float, and every row
// that holds pixels of the file must be placed exactly once, and no other.
// The rest is the .hdr file. Pictures are capped at kMaxPixels so no input
// asks for more than a few MiB.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/bands.h"
#include "driver/converter.h"
#include "tests/memory_io.h"

namespace {

constexpr uint64_t kMaxPixels = 1 << 16;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Decoded {
  bool header = false;
  bool xyz = false;
  Result result = Result::kCorrupt;
  bool everyRowOnce = false;
  std::vector<float> image;
};

Decoded Decode(InputStream& in, bool stream) {
  Decoded d;
  const HeaderInfo h = ReadHeader(in);
  if (!h.resolutionValid) return d;
  const Resolution& r = h.resolution;
  uint64_t fileBytes;
  if (CheckImageSize(r.width, r.height, &fileBytes) != Result::kOk) return d;
  if (static_cast<uint64_t>(r.width) * r.height > kMaxPixels) return d;
  d.header = true;
  d.xyz = h.xyz;
  ScanlineDecoder decoder(in);
  Check(decoder.Ok());
  const bool streamed = stream && !r.xMajor;
  int32_t filled = 0;
  PixelConversion how;
  how.xyz = h.xyz;
  MemorySink sink(r.width, r.height, streamed ? BandRows(r.width, r.height) : WholeBandRows(r), how);
  if (streamed) {
    // The sink's band is exactly a band of scanlines' room, so any overrun is caught.
    ScanlineBands bands(decoder, r);
    sink.TakeAll(bands);
    d.result = bands.result();
    filled = bands.filled();
  } else {
    std::vector<uint8_t> picture(static_cast<size_t>(r.width) * r.height * 4);
    d.result = decoder.DecodeScanlines(picture.data(), r.ScanlineLength(), r.ScanlineCount(), false, &filled);
    PictureBands bands(picture.data(), r, PixelsHeld(r, filled));
    if (d.result != Result::kCorrupt) sink.TakeAll(bands);
  }
  // Rows the file held nothing of are never given: they are a hole in the
  // TIFF, which reads as zeros.
  const HeldPixels held = PixelsHeld(r, filled);
  // A whole picture fills every scanline.
  d.everyRowOnce = sink.OnlyRowsOnce(held.firstRow, held.rows) && (d.result != Result::kOk || filled == r.ScanlineCount());
  sink.ZeroRowsNotGiven();
  d.image = std::move(sink.image);
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  ++data;
  --size;

  InputStream memory(data, size);
  const Decoded a = Decode(memory, true);
  if (a.header && a.result != Result::kCorrupt) {
    Check(a.everyRowOnce);
    // Every place of the picture holds a value an RGBE pixel can have: 0,
    // or finite, positive and below 2^128; XYZ pictures turned into RGB may
    // be negative, or overflow a float, but are never NaN.
    for (float f : a.image)
      Check(a.xyz ? !std::isnan(f) : f == 0.0f || (std::isfinite(f) && f > 0.0f && f < 1.7e38f));
  }

  // The same bytes a few at a time, through the stream's buffer, as a
  // slow pipe gives them: every fast path meets the buffer's end.
  MemorySource source(data, size, chunk);
  InputStream pieces(source, chunk);
  const Decoded b = Decode(pieces, false);
  Check(a.header == b.header);
  if (a.header) {
    Check(a.result == b.result);
    if (a.result != Result::kCorrupt) Check(b.everyRowOnce);
    if (a.result != Result::kCorrupt)
      Check(std::memcmp(a.image.data(), b.image.data(), a.image.size() * sizeof(float)) == 0);
  }
  return 0;
}
