#include "tools/sample_pictures.h"

namespace {

std::vector<Bytes> Scene(int length, int count, uint32_t seed = 3) {
  std::vector<Bytes> rows;
  for (int k = 0; k < count; ++k) rows.push_back(SceneRow(length, count, k, seed));
  return rows;
}

}  // namespace

std::vector<SamplePicture> SamplePictures() {
  std::vector<SamplePicture> out;
  auto add = [&](const std::string& name, Bytes bytes) { out.push_back({name + ".hdr", std::move(bytes)}); };

  // Every orientation, small (one band) and wide (several bands, and for
  // the X-major forms several 16-row groups of columns).
  const char* forms[] = {"-Y %h +X %w", "-Y %h -X %w", "+Y %h +X %w", "+Y %h -X %w",
                         "+X %w -Y %h", "-X %w -Y %h", "+X %w +Y %h", "-X %w +Y %h"};
  for (int i = 0; i < 8; ++i) {
    const bool xMajor = i >= 4;
    struct Size {
      int w, h;
      std::string tag;
    };
    for (const Size& size : {Size{12, 9, ""}, Size{1500, 40, "wide-"}}) {
      const int w = size.w, h = size.h;
      const std::string& tag = size.tag;
      std::string line = forms[i];
      line.replace(line.find("%h"), 2, std::to_string(h));
      line.replace(line.find("%w"), 2, std::to_string(w));
      const std::vector<Bytes> lines = xMajor ? Scene(h, w) : Scene(w, h);
      add(tag + "rle-" + std::to_string(i), MakeHdr(line + "\n", lines, Encoding::kRunLength));
      if (tag.empty()) add("flat-" + std::to_string(i), MakeHdr(line + "\n", lines, Encoding::kFlat));
    }
  }
  add("narrow", MakeHdr("-Y 3 +X 5\n", Scene(5, 3), Encoding::kFlat));
  add("widest-flat", MakeHdr("-Y 2 +X 32768\n", Scene(32768, 2), Encoding::kFlat));
  add("widest-rle", MakeHdr("-Y 2 +X 32767\n", Scene(32767, 2), Encoding::kRunLength));
  add("sky", MakeHdr("-Y 128 +X 256\n", Scene(256, 128, 1), Encoding::kRunLength));
  add("xyze", MakeHdr("-Y 6 +X 12\n", Scene(12, 6), Encoding::kRunLength, "FORMAT=32-bit_rle_xyze\n"));
  add("crlf", {'#', '?', 'R', 'A', 'D', 'I', 'A', 'N', 'C', 'E', '\r', '\n', '\r', '\n', '\n',
               '-', 'Y', ' ', '1', ' ', '+', 'X', ' ', '2', '\n', 9, 9, 9, 9, 1, 1, 1, 1});
  add("long-line", MakeHdr("-Y 2 +X 8\n", Scene(8, 2), Encoding::kRunLength, std::string(99, 'x') + "\n"));
  add("no-id", Bytes{'\n', '+', 'X', ' ', '1', ' ', '-', 'Y', ' ', '1', '\n', 1, 2, 3, 4});
  Bytes cut = MakeHdr("-Y 4 +X 16\n", Scene(16, 4), Encoding::kRunLength);
  cut.resize(cut.size() * 2 / 3);
  add("cut", cut);
  Bytes corrupt = MakeHdr("-Y 3 +X 16\n", Scene(16, 1), Encoding::kRunLength);
  const Bytes wrongLength = EncodeScanline(Bytes(4 * 17, 128), Encoding::kRunLength);
  corrupt.insert(corrupt.end(), wrongLength.begin(), wrongLength.end());
  add("corrupt", corrupt);
  // Old-style repetition: one pixel repeated 3 times, a marker that only
  // raises the count of the next, and a flat line that starts with 2, 2.
  Bytes markers = MakeHdr("-Y 2 +X 9\n", {}, Encoding::kFlat);
  for (uint8_t b : {7, 8, 9, 130, 1, 1, 1, 3, 1, 1, 1, 0, 5, 5, 5, 5, 1, 1, 1, 4, 2, 2, 0x81, 3, 1, 1, 1, 8})
    markers.push_back(b);
  add("markers", markers);
  add("header-only", Text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 3 +X 2\n"));
  add("empty", Bytes());
  add("bad-resolution", Text("#?RADIANCE\n\n480 640\n"));
  add("zero-width", Text("#?RADIANCE\n\n-Y 5 +X 0\n"));
  add("too-large", Text("#?RADIANCE\n\n-Y 1 +X 357913921\n"));
  return out;
}
