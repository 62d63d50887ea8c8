// Feeds arbitrary bytes through everything corvalin does with an input file:
// the header and resolution line, the size checks, every scanline's decoding,
// the placement of rows (streamed by bands, or from the picture held whole),
// and the float conversion.
//
// The first input byte is not part of the file: it picks the read buffer
// size of a second decoding of the same file from a file (a memfd on Linux). The first
// decoding (from memory) streams pictures stored by rows band by band; the
// second holds every picture whole. Both must agree float for float, and
// every row that holds pixels of the file must be placed exactly once, and
// no other. The rest is the .hdr file.
// Pictures are capped at kMaxPixels so no input asks for more than a few MiB.
#ifdef __linux__
#include <sys/mman.h>
#endif
#include <unistd.h>

#include <cstdio>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/converter.h"
#include "tests/memory_sink.h"

namespace {

constexpr uint64_t kMaxPixels = 1 << 16;

struct Decoded {
  bool header = false;
  bool xyz = false;
  DecodeResult result = DecodeResult::kFatal;
  bool everyRowOnce = false;
  std::vector<float> image;
};

Decoded Decode(InputStream& in, bool stream) {
  Decoded d;
  const HeaderInfo h = ReadHeader(in);
  if (!h.resolutionValid) return d;
  const Resolution& r = h.resolution;
  uint64_t fileBytes;
  if (CheckImageSize(r.width, r.height, &fileBytes) != SizeCheck::kOk) return d;
  if (static_cast<uint64_t>(r.width) * r.height > kMaxPixels) return d;
  d.header = true;
  d.xyz = h.xyz;
  const bool streamed = stream && !r.xMajor;
  int32_t held = 0, first = 0, count = 0;
  MemorySink sink(r.width, r.height, streamed ? BandRows(r.width, r.height) : HeldBandRows(r), h.xyz);
  if (streamed) {
    // Exactly a band of scanlines' room, so any overrun is caught.
    std::vector<uint8_t> scratch(static_cast<size_t>(BandRows(r.width, r.height)) * r.width * 4);
    d.result = StreamPicture(in, r, scratch.data(), &sink, &held);
  } else {
    std::vector<uint8_t> picture(static_cast<size_t>(r.width) * r.height * 4);
    d.result = DecodeScanlines(in, r.ScanlineLength(), r.ScanlineCount(), picture.data(), false, &held);
    RowsHeld(r, held, &first, &count);
    if (d.result != DecodeResult::kFatal) PlacePicture(picture.data(), r, first, count, &sink);
  }
  // Rows the file held nothing of are never given: they are a hole in the
  // TIFF, which reads as zeros.
  RowsHeld(r, held, &first, &count);
  // A whole picture holds every scanline.
  d.everyRowOnce = sink.OnlyRowsOnce(first, count) && (d.result != DecodeResult::kComplete || held == r.ScanlineCount());
  sink.ZeroRowsNotGiven();
  d.image = std::move(sink.image);
  return d;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t bufferSize = 1 + data[0] % 64;
  ++data;
  --size;

  InputStream memory(data, size);
  const Decoded a = Decode(memory, true);
  if (a.header && a.result != DecodeResult::kFatal) {
    Check(a.everyRowOnce);
    // Every place of the picture holds a value an RGBE pixel can have: 0,
    // or finite, positive and below 2^128; XYZ pictures turned into RGB may
    // be negative, or overflow a float, but are never NaN.
    for (float f : a.image)
      Check(a.xyz ? !std::isnan(f) : f == 0.0f || (std::isfinite(f) && f > 0.0f && f < 1.7e38f));
  }

#ifdef __linux__
  const int fd = memfd_create("fuzz", 0);  // no file system touched
#else
  FILE* temporary = std::tmpfile();
  const int fd = temporary ? dup(fileno(temporary)) : -1;
  if (temporary) std::fclose(temporary);
#endif
  if (fd < 0) return 0;
  Check(write(fd, data, size) == static_cast<ssize_t>(size));
  lseek(fd, 0, SEEK_SET);
  InputStream file(platform::InputFile(fd), bufferSize);
  const Decoded b = Decode(file, false);
  Check(a.header == b.header);
  if (a.header) {
    Check(a.result == b.result);
    if (a.result != DecodeResult::kFatal) Check(b.everyRowOnce);
    if (a.result != DecodeResult::kFatal)
      Check(std::memcmp(a.image.data(), b.image.data(), a.image.size() * sizeof(float)) == 0);
  }
  return 0;
}
