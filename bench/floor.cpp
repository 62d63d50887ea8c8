// The I/O limit a converter is measured against: read the input through a
// 1 MiB buffer, then write a TIFF's worth of bytes (the header and width x
// height x 12 bytes of pixels) from one reused 1 MiB buffer. No decoding,
// no conversion, and no memory the size of the picture: what reading the
// input and writing the output cost at all.
//   bench_floor IN.hdr OUT WIDTH HEIGHT
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kBuffer = 1 << 20;
constexpr uint64_t kTiffHeader = 247;  // what corvalin writes before the pixels

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_floor IN OUT WIDTH HEIGHT\n");
    return 2;
  }
  std::vector<char> buffer(kBuffer);
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) return 1;
  ssize_t n;
  unsigned char sum = 0;  // so that no byte read goes unused
  while ((n = read(in, buffer.data(), kBuffer)) > 0) sum = static_cast<unsigned char>(sum + buffer[n - 1]);
  close(in);
  if (n < 0) return 1;

  for (char& c : buffer) c = static_cast<char>(sum | 1);
  uint64_t left = kTiffHeader + std::strtoull(argv[3], nullptr, 10) * std::strtoull(argv[4], nullptr, 10) * 12;
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return 1;
  while (left > 0) {
    const size_t chunk = left < kBuffer ? static_cast<size_t>(left) : kBuffer;
    if (!WriteAll(out, buffer.data(), chunk)) return 1;
    left -= chunk;
  }
  return close(out) == 0 ? 0 : 1;
}
