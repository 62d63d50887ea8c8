// Writes the sample picture set into a folder, one .hdr file each.
//   make_pictures FOLDER
#include <cstdio>

#include "tools/sample_pictures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_pictures FOLDER\n");
    return 2;
  }
  int failed = 0;
  for (const SamplePicture& p : SamplePictures()) {
    const std::string path = std::string(argv[1]) + "/" + p.name;
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && (p.bytes.empty() || std::fwrite(p.bytes.data(), 1, p.bytes.size(), f) == p.bytes.size());
    if (!(f && std::fclose(f) == 0 && ok)) {
      std::perror(path.c_str());
      ++failed;
    }
  }
  return failed ? 1 : 0;
}
