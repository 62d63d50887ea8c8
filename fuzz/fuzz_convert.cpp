// Feeds arbitrary bytes through everything corvalin does with an input file:
// the header and resolution line, the size checks, every scanline's decoding
// and placement, and the float conversion.
//
// The first input byte is not part of the file: it picks the read buffer
// size of a second decoding of the same file from a memfd, whose result
// must match the first (all from memory) float for float. The rest is the
// .hdr file. Pictures are capped at kMaxPixels so no input asks for more
// than a few MiB.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/converter.h"

namespace {

constexpr uint64_t kMaxPixels = 1 << 18;

struct Decoded {
  bool header = false;
  DecodeResult result = DecodeResult::kFatal;
  std::vector<float> image;
};

Decoded Decode(InputStream& in) {
  Decoded d;
  const HeaderInfo h = ReadHeader(in);
  if (!h.resolutionValid) return d;
  const Resolution& r = h.resolution;
  if (CheckImageSize(r.width, r.height, ConverterTiffHeaderBytes()) != SizeCheck::kOk) return d;
  if (static_cast<uint64_t>(r.width) * r.height > kMaxPixels) return d;
  d.header = true;
  d.image.assign(static_cast<size_t>(r.width) * r.height * 3, -1.0f);
  // Exactly one scanline's room, so any overrun is caught.
  std::vector<uint8_t> scanline(static_cast<size_t>(r.ScanlineLength()) * 4);
  d.result = DecodePicture(in, r, d.image.data(), scanline.data());
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
  const Decoded a = Decode(memory);
  if (a.header && a.result != DecodeResult::kFatal) {
    // Every place of the picture was written, with a value an RGBE pixel
    // can have: 0, or finite, positive and below 2^128.
    for (float f : a.image) Check(f == 0.0f || (std::isfinite(f) && f > 0.0f && f < 1.7e38f));
  }

  const int fd = memfd_create("fuzz", 0);
  if (fd < 0) return 0;
  Check(write(fd, data, size) == static_cast<ssize_t>(size));
  lseek(fd, 0, SEEK_SET);
  InputStream file(fd, bufferSize);
  const Decoded b = Decode(file);
  Check(a.header == b.header);
  if (a.header) {
    Check(a.result == b.result);
    if (a.result != DecodeResult::kFatal)
      Check(std::memcmp(a.image.data(), b.image.data(), a.image.size() * sizeof(float)) == 0);
  }
  return 0;
}
