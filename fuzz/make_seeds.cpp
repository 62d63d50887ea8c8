// Writes the fuzz target's seed corpus: the sample pictures (both
// encodings and every orientation, odd headers, cut and corrupt files,
// repetition markers) that fit in the target's 64 KiB. Each seed starts
// with the byte that picks the read buffer size.
//   fuzz_make_seeds FOLDER
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tools/sample_pictures.h"

namespace {

int written = 0;

void Seed(const std::string& dir, const std::string& name, const Bytes& hdr, uint8_t buffer = 7) {
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fputc(buffer, f);
  if (!hdr.empty()) std::fwrite(hdr.data(), 1, hdr.size(), f);
  written += std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  mkdir(dir.c_str(), 0755);
  uint8_t buffer = 0;
  for (const SamplePicture& p : SamplePictures()) {
    // The fuzz target takes 64 KiB at most.
    if (p.bytes.size() <= 60000) Seed(dir, p.name, p.bytes, buffer);
    buffer = static_cast<uint8_t>(buffer + 7);
  }
  std::printf("wrote %d seeds to %s\n", written, dir.c_str());
  return written > 0 ? 0 : 1;
}
