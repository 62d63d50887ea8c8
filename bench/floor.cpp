// The I/O floor a converter is measured against: read the input file whole,
// fill a width x height x 12 buffer with a non-zero byte, write it with one
// fwrite. No decoding and no conversion happen.
//   bench_floor IN.hdr OUT WIDTH HEIGHT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_floor IN OUT WIDTH HEIGHT\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  std::fseek(in, 0, SEEK_END);
  const long inSize = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
  std::vector<char> input(static_cast<size_t>(inSize));
  if (std::fread(input.data(), 1, input.size(), in) != input.size()) return 1;
  std::fclose(in);

  const size_t bytes = std::strtoull(argv[3], nullptr, 10) * std::strtoull(argv[4], nullptr, 10) * 12;
  char* image = static_cast<char*>(std::malloc(bytes));
  if (!image) return 1;
  std::memset(image, input.empty() ? 1 : input.back() | 1, bytes);
  FILE* out = std::fopen(argv[2], "wb");
  if (!out || std::fwrite(image, 1, bytes, out) != bytes || std::fclose(out) != 0) return 1;
  std::free(image);
  return 0;
}
