// Writes the sample picture: the generated outdoor scene, run-length encoded.
//   make_sample examples/sky.hdr [width height]
#include <cstdio>
#include <cstdlib>

#include "tools/hdr_encode.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: make_sample OUT.hdr [WIDTH HEIGHT]\n");
    return 2;
  }
  const int width = argc == 4 ? std::atoi(argv[2]) : 256;
  const int height = argc == 4 ? std::atoi(argv[3]) : 128;
  std::vector<Bytes> rows;
  for (int y = 0; y < height; ++y) rows.push_back(SceneRow(width, height, y, 1));
  const std::string resolution = "-Y " + std::to_string(height) + " +X " + std::to_string(width) + "\n";
  const Bytes hdr = MakeHdr(resolution, rows, Encoding::kRunLength,
                            "# a generated scene: sky, sun and ground\nFORMAT=32-bit_rle_rgbe\n");
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(hdr.data(), 1, hdr.size(), f) != hdr.size() || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
