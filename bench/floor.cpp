// The I/O limit a converter is measured against: read the input through a
// 1 MiB buffer, then write a TIFF's worth of bytes (the header, then width
// x height x 12 bytes of pixels a MiB at a time) from one reused 1 MiB
// buffer. No decoding, no conversion, and no memory the size of the
// picture: what reading the input and writing the output cost at all.
//   bench_floor IN.hdr OUT WIDTH HEIGHT
//   bench_floor IN.hdr        as corvalin is run: writes IN.tif, the size
//                             taken from the resolution line (-Y H +X W)
// Built as corvalin is (the C++ runtime linked in), and touching no more
// than it must, so that a small picture's start-up costs the same.
// Built as bench_floor_writeback (FLOOR_WRITEBACK), it also starts the
// file's writing to the disk as corvalin does on Linux (every whole 2 MiB
// as written, the rest at the end), so that the benchmark shows what that
// costs by itself.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kBuffer = 1 << 20;
// What corvalin writes before the pixels: a classic TIFF's header, or a
// BigTIFF's past 4 GiB.
uint64_t TiffHeader(uint64_t pixelBytes) { return 247 + pixelBytes > 0xffffffffu ? 349 : 247; }

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The size from the resolution line after the header's empty line.
bool SizeFromHeader(const char* data, size_t size, uint64_t* w, uint64_t* h) {
  const std::string text(data, size < 65536 ? size : 65536);
  const size_t blank = text.find("\n\n");
  unsigned long long height = 0, width = 0;
  if (blank == std::string::npos ||
      std::sscanf(text.c_str() + blank + 2, "%*cY %llu %*cX %llu", &height, &width) != 2)
    return false;
  *w = width, *h = height;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 2) {
    std::fprintf(stderr, "usage: bench_floor IN OUT WIDTH HEIGHT, or bench_floor IN.hdr\n");
    return 2;
  }
  char* buffer = static_cast<char*>(std::malloc(kBuffer));
  const int in = open(argv[1], O_RDONLY);
  if (!buffer || in < 0) return 1;
  ssize_t n;
  size_t first = 0;
  unsigned char sum = 0;  // so that no byte read goes unused
  uint64_t w = 0, h = 0;
  while ((n = read(in, buffer, kBuffer)) > 0) {
    if (first++ == 0 && argc == 2 && !SizeFromHeader(buffer, static_cast<size_t>(n), &w, &h)) return 1;
    sum = static_cast<unsigned char>(sum + buffer[n - 1]);
  }
  close(in);
  if (n < 0) return 1;

  std::string output;
  if (argc == 5) {
    output = argv[2];
    w = std::strtoull(argv[3], nullptr, 10), h = std::strtoull(argv[4], nullptr, 10);
  } else {
    output = argv[1];
    if (output.size() > 4 && output.compare(output.size() - 4, 4, ".hdr") == 0) output.resize(output.size() - 4);
    output += ".tif";
  }
  std::memset(buffer, sum | 1, kBuffer);
  const uint64_t pixelBytes = w * h * 12;
  uint64_t left = TiffHeader(pixelBytes) + pixelBytes;
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return 1;
  [[maybe_unused]] uint64_t written = 0, started = 0;
  // The header first, then the pixels a buffer at a time, as a TIFF is
  // written. Writes of 1 MiB on 1 MiB boundaries would make Linux 6.x hold
  // the file in large folios; a virtual machine that hands its free memory
  // back to the host faults those in anew, and this one then took up to ten
  // times as long (all of it system time) in about half its batches.
  for (uint64_t header = TiffHeader(pixelBytes); left > 0; header = 0) {
    const size_t chunk = header > 0 ? static_cast<size_t>(header) : left < kBuffer ? static_cast<size_t>(left) : kBuffer;
    if (!WriteAll(out, buffer, chunk)) return 1;
    left -= chunk;
#ifdef FLOOR_WRITEBACK
    written += chunk;
    const uint64_t whole = written / (2 << 20) * (2 << 20);
    if (whole > started) sync_file_range(out, static_cast<off_t>(started), static_cast<off_t>(whole - started),
                                         SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE);
    if (whole > started) started = whole;
#endif
  }
#ifdef FLOOR_WRITEBACK
  sync_file_range(out, static_cast<off_t>(started), 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE);
#endif
  return close(out) == 0 ? 0 : 1;
}
