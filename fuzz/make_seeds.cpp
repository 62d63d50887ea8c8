// Writes the fuzz target's seed corpus: small valid pictures in both
// encodings and every orientation, odd headers, a cut file, repetition
// markers. Each seed starts with the byte that picks the read buffer size.
//   fuzz_make_seeds FOLDER
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tools/hdr_encode.h"

namespace {

int written = 0;

void Seed(const std::string& dir, const std::string& name, const Bytes& hdr, uint8_t buffer = 7) {
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fputc(buffer, f);
  std::fwrite(hdr.data(), 1, hdr.size(), f);
  written += std::fclose(f) == 0;
}

std::vector<Bytes> Scene(int length, int count) {
  std::vector<Bytes> rows;
  for (int k = 0; k < count; ++k) rows.push_back(SceneRow(length, count, k, 3));
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  mkdir(dir.c_str(), 0755);
  const char* forms[] = {"-Y 6 +X 12", "-Y 6 -X 12", "+Y 6 +X 12", "+Y 6 -X 12",
                         "+X 12 -Y 9", "-X 12 -Y 9", "+X 12 +Y 9", "-X 12 +Y 9"};
  for (int i = 0; i < 8; ++i) {
    const bool xMajor = i >= 4;
    const std::vector<Bytes> rows = xMajor ? Scene(9, 12) : Scene(12, 6);
    Seed(dir, "rle-" + std::to_string(i), MakeHdr(std::string(forms[i]) + "\n", rows, Encoding::kRunLength), i);
    Seed(dir, "flat-" + std::to_string(i), MakeHdr(std::string(forms[i]) + "\n", rows, Encoding::kFlat), 60 + i);
  }
  Seed(dir, "narrow", MakeHdr("-Y 3 +X 5\n", Scene(5, 3), Encoding::kFlat));
  Seed(dir, "crlf", {'#', '?', 'R', 'A', 'D', 'I', 'A', 'N', 'C', 'E', '\r', '\n', '\r', '\n', '\n',
                     '-', 'Y', ' ', '1', ' ', '+', 'X', ' ', '2', '\n', 9, 9, 9, 9, 1, 1, 1, 1});
  Seed(dir, "long-line", MakeHdr("-Y 2 +X 8\n", Scene(8, 2), Encoding::kRunLength, std::string(99, 'x') + "\n"));
  Seed(dir, "no-id", Bytes{'\n', '+', 'X', ' ', '1', ' ', '-', 'Y', ' ', '1', '\n', 1, 2, 3, 4});
  Bytes cut = MakeHdr("-Y 4 +X 16\n", Scene(16, 4), Encoding::kRunLength);
  cut.resize(cut.size() * 2 / 3);
  Seed(dir, "cut", cut);
  Bytes markers = MakeHdr("-Y 2 +X 9\n", {}, Encoding::kFlat);
  for (uint8_t b : {7, 8, 9, 130, 1, 1, 1, 3, 1, 1, 1, 0, 5, 5, 5, 5, 1, 1, 1, 4, 2, 2, 0x81, 3, 1, 1, 1, 8})
    markers.push_back(b);
  Seed(dir, "markers", markers, 1);
  std::printf("wrote %d seeds to %s\n", written, dir.c_str());
  return written > 0 ? 0 : 1;
}
