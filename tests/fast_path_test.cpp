// The program's buffered fast paths against a plain reading of the same
// files: one byte at a time through stdio, placed pixel by pixel. Random
// pictures, both encodings, odd widths, all orientations, some cut short or
// with bytes changed, must give the same TIFF and the same messages.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"
#include "tiff/tif_writer.h"

namespace {

// Byte-at-a-time decoding, with the converter's rules: bytes the file lacks
// are 0; runs, literals and repetitions may not pass the end of the line.
int Byte(FILE* f) {
  const int c = std::getc(f);
  return c == EOF ? 0 : c;
}

int PlainFlat(uint8_t* line, int32_t from, int32_t width, FILE* f) {
  unsigned shift = 0;
  for (int32_t i = from; i < width;) {
    uint8_t* p = line + 4 * i;
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(Byte(f));
    if (std::feof(f) || std::ferror(f)) return -1;
    if (p[0] == 1 && p[1] == 1 && p[2] == 1) {
      if (i == 0) return -1;
      const uint64_t repeat = shift >= 32 ? (p[3] ? UINT64_MAX : 0) : uint64_t{p[3]} << shift;
      if (repeat > static_cast<uint64_t>(width - i)) return -1;
      for (uint64_t r = 0; r < repeat; ++r, ++i) std::memcpy(line + 4 * i, line + 4 * (i - 1), 4);
      shift += 8;
    } else {
      ++i;
      shift = 0;
    }
  }
  return 0;
}

int PlainScanline(uint8_t* line, int32_t width, FILE* f) {
  if (width < 8 || width > 32767) return PlainFlat(line, 0, width, f);
  const int first = std::getc(f);
  if (first == EOF) return -1;
  if (first != 2) {
    std::ungetc(first, f);
    return PlainFlat(line, 0, width, f);
  }
  line[1] = static_cast<uint8_t>(Byte(f));
  line[2] = static_cast<uint8_t>(Byte(f));
  const int low = std::getc(f);
  if (low == EOF) return -1;
  if (line[1] != 2 || line[2] & 0x80) {
    line[0] = 2;
    line[3] = static_cast<uint8_t>(low);
    return PlainFlat(line, 1, width, f);
  }
  if (line[2] * 256 + low != width) return -1;
  for (int c = 0; c < 4; ++c) {
    for (int32_t j = 0; j < width;) {
      const int code = std::getc(f);
      if (code == EOF) return -1;
      const int n = code > 128 ? code & 127 : code;
      if (n > width - j) return -1;
      const int value = code > 128 ? Byte(f) : 0;
      for (int k = 0; k < n; ++k, ++j) line[4 * j + c] = static_cast<uint8_t>(code > 128 ? value : Byte(f));
    }
  }
  return std::feof(f) || std::ferror(f) ? -1 : 0;
}

struct Plain {
  std::string output;  // what the program should print after the announcement
  bool tiff = false;   // whether it should write a TIFF (then at path)
};

// The whole conversion, the plain way. Pictures here have a sound header.
Plain PlainConvert(const std::string& hdr, const std::string& tif) {
  Plain result;
  FILE* f = std::fopen(hdr.c_str(), "rb");
  char* line = nullptr;
  size_t size = 0;
  while (getline(&line, &size, f) > 0 && std::strcmp(line, "\n") != 0) {
  }
  char sy, sx;
  int ny, nx;
  bool xMajor = false;
  if (getline(&line, &size, f) <= 0) std::abort();
  if (std::sscanf(line, "%cY %d %cX %d", &sy, &ny, &sx, &nx) != 4) {
    xMajor = true;
    if (std::sscanf(line, "%cX %d %cY %d", &sx, &nx, &sy, &ny) != 4) std::abort();
  }
  std::free(line);
  result.output = Sizes(nx, ny) + text::kReading;
  const int count = xMajor ? nx : ny, length = xMajor ? ny : nx;
  std::vector<float> image(static_cast<size_t>(nx) * ny * 3);
  std::vector<uint8_t> scan(static_cast<size_t>(length) * 4);
  bool early = false;
  for (int k = 0; k < count; ++k) {
    std::fill(scan.begin(), scan.end(), 0);
    if (PlainScanline(scan.data(), length, f) != 0) {
      if (!std::feof(f)) {
        std::fclose(f);
        result.output += text::kCorrupt;
        return result;
      }
      early = true;
    }
    for (int i = 0; i < length; ++i) {
      int row, col;
      if (!xMajor) {
        row = sy == '+' ? ny - 1 - k : k;
        col = sx == '-' ? nx - 1 - i : i;
      } else {
        col = sx == '-' ? nx - 1 - k : k;
        row = sy == '+' ? ny - 1 - i : i;
      }
      for (int c = 0; c < 3; ++c)
        image[(static_cast<size_t>(row) * nx + col) * 3 + c] = ReferenceFloat(scan[4 * i + c], scan[4 * i + 3]);
    }
  }
  std::fclose(f);
  if (early) result.output += text::kEndedEarly;
  result.output += text::kProcessed + text::kFinished;
  TIFWriter writer(tif.c_str(), image.data(), nx, ny);
  writer.SetSoftware("Created by Quen Varlowby's Corvalin.");
  result.tiff = writer.Write();
  return result;
}

TEST(FastPathTest, RandomPicturesMatchPlainReading) {
  std::mt19937 rng(20261209);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const char* forms[] = {"-Y %d +X %d", "-Y %d -X %d", "+Y %d +X %d", "+Y %d -X %d",
                         "+X %d -Y %d", "-X %d -Y %d", "+X %d +Y %d", "-X %d +Y %d"};
  TempDir dir;
  for (int n = 0; n < 200; ++n) {
    const int form = pick(0, 7);
    const bool xMajor = form >= 4;
    int w = pick(1, 45), h = pick(1, 12);
    // Every fourth picture has long scanlines: runs and literals of up to
    // 128 bytes, decoded straight from the read buffer.
    if (n % 4 == 3) (xMajor ? h : w) = pick(120, 400), (xMajor ? w : h) = pick(1, 6);
    const int length = xMajor ? h : w, count = xMajor ? w : h;
    Bytes pixels = GradientPicture(length, count, n);
    Encoding encoding = length >= 8 && pick(0, 2) > 0 ? Encoding::kRunLength : Encoding::kFlat;
    if (encoding == Encoding::kFlat && pick(0, 1)) {
      // Repetition markers, some of them impossible.
      for (int m = pick(1, 4); m > 0; --m) {
        uint8_t* p = &pixels[4 * pick(0, length * count - 1)];
        p[0] = p[1] = p[2] = 1;
        p[3] = static_cast<uint8_t>(pick(0, 3));
      }
    }
    char resolution[64];
    std::snprintf(resolution, sizeof resolution, forms[form], xMajor ? w : h, xMajor ? h : w);
    Bytes hdr = MakeHdr(std::string(resolution) + "\n", Rows(pixels, length), encoding);
    const size_t headerSize = MakeHdr(std::string(resolution) + "\n", {}, encoding).size();
    const int damage = pick(0, 3);
    if (damage == 1) hdr.resize(pick(static_cast<int>(headerSize), static_cast<int>(hdr.size())));
    if (damage == 2 && hdr.size() > headerSize)
      hdr[pick(static_cast<int>(headerSize), static_cast<int>(hdr.size()) - 1)] = static_cast<uint8_t>(pick(0, 255));

    const std::string what = "case " + std::to_string(n) + " " + resolution;
    WriteFile(dir / "r.hdr", hdr);
    std::remove((dir / "r.tif").c_str());
    std::remove((dir / "plain.tif").c_str());
    const Plain plain = PlainConvert(dir / "r.hdr", dir / "plain.tif");
    RunResult run = RunCorvalin(dir.path(), {"r.hdr"});
    ASSERT_EQ(run.output, Announcement("r.hdr", "r.tif") + plain.output) << what;
    Bytes fast, slow;
    ASSERT_EQ(ReadFile(dir / "r.tif", &fast), plain.tiff) << what;
    if (plain.tiff) {
      ASSERT_TRUE(ReadFile(dir / "plain.tif", &slow));
      ASSERT_EQ(fast, slow) << what;
    }
  }
}

}  // namespace
