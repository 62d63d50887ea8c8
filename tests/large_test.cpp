// Pictures past 4 GiB: BigTIFF, rows the file does not hold left as holes,
// and no conversion begun that the disk cannot hold.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

using namespace text;

uint64_t FreeBytes(const std::string& folder) {
  struct statvfs fs;
  return statvfs(folder.c_str(), &fs) == 0 ? uint64_t{fs.f_bavail} * fs.f_frsize : 0;
}

struct Usage {
  uint64_t size = 0, onDisk = 0;
};

Usage UsageOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return {static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_blocks) * 512};
}

Bytes HeaderOnly(const std::string& resolution) {
  const std::string text = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" + resolution + "\n";
  return Bytes(text.begin(), text.end());
}

TEST(LargeTest, HeaderOnlyPicturePastFourGiBIsAHole) {
  // 20000 x 18000 makes a BigTIFF of 349 + 4320000000 bytes, none of them
  // written but the header: by rows, bottom-up, and as columns (held whole).
  const uint64_t size = 349 + uint64_t{20000} * 18000 * 12;
  for (const char* line : {"-Y 18000 +X 20000", "+Y 18000 +X 20000", "+X 20000 -Y 18000"}) {
    TempDir dir;
    if (FreeBytes(dir.path()) < size) GTEST_SKIP() << "less than 4.4 GB free where the tests write";
    WriteFile(dir / "p.hdr", HeaderOnly(line));
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    EXPECT_EQ(run.status, 1) << line;
    EXPECT_EQ(run.output, Announcement("p.hdr", "p.tif") + Sizes(20000, 18000) +
                              kReading + kEndedEarly + kProcessed + kFinished)
        << line;
    const Usage u = UsageOf(dir / "p.tif");
    EXPECT_EQ(u.size, size) << line;
    EXPECT_LT(u.onDisk, 1u << 20) << line << ": the missing rows were written";
    char head[4] = {};
    std::FILE* f = std::fopen((dir / "p.tif").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(head, 1, 4, f), 4u);
    std::fclose(f);
    EXPECT_EQ(std::string(head, 4), std::string("II+\0", 4)) << line;
  }
}

TEST(LargeTest, CutPictureLeavesOnlyItsMissingRowsAHole) {
  // 3000 x 2000, bottom-up, cut after 40 of its scanlines: the 40 bottom rows
  // hold the picture, the 1960 above them are a hole at the file's start.
  const int w = 3000, h = 2000, held = 40;
  std::vector<Bytes> rows;
  for (int k = 0; k < held; ++k) rows.push_back(SceneRow(w, h, h - 1 - k, 2));
  TempDir dir;
  WriteFile(dir / "p.hdr", MakeHdr("+Y 2000 +X 3000\n", rows, Encoding::kRunLength));
  const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find(kEndedEarly), std::string::npos) << run.output;
  const Usage u = UsageOf(dir / "p.tif");
  ASSERT_EQ(u.size, 247 + uint64_t{w} * h * 12);
  EXPECT_LT(u.onDisk, u.size / 4) << "the missing rows were written";
  TiffImage image;
  std::string error;
  ASSERT_TRUE(ReadTiff(dir / "p.tif", &image, &error)) << error;
  for (int y = 0; y < h; ++y) {
    const Bytes rgbe = y >= h - held ? SceneRow(w, h, y, 2) : Bytes(static_cast<size_t>(w) * 4, 0);
    for (int k = 0; k < w * 3; ++k) {
      const float want = ReferenceFloat(rgbe[k / 3 * 4 + k % 3], rgbe[k / 3 * 4 + 3]);
      ASSERT_EQ(image.pixels[static_cast<size_t>(y) * w * 3 + k], want) << "row " << y << " float " << k;
    }
  }
}

TEST(LargeTest, ColumnsCutShortWriteOnlyTheirBlocks) {
  // 20000 x 20000 stored as columns, cut after 4 of them (320 KB): every
  // row holds 4 pixels (48 bytes) and 239952 bytes of zeros, which are
  // neither converted nor written. One 4 KiB block a row is the least a
  // file system can hold that in (78 MiB, where 4.8 GB of zeros once went).
  const int w = 20000, h = 20000, held = 4;
  const uint64_t size = 349 + uint64_t{w} * h * 12;
  TempDir dir;
  if (FreeBytes(dir.path()) < size) GTEST_SKIP() << "less than 4.8 GB free where the tests write";
  std::vector<Bytes> columns;
  for (int k = 0; k < held; ++k) columns.push_back(SceneRow(h, w, k, 3));
  for (const char* line : {"+X 20000 -Y 20000", "-X 20000 +Y 20000"}) {
    const bool flipped = line[0] == '-';  // columns from the right, each from the bottom
    WriteFile(dir / "p.hdr", MakeHdr(std::string(line) + "\n", columns, Encoding::kRunLength));
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    EXPECT_EQ(run.status, 1) << line;
    EXPECT_NE(run.output.find(kEndedEarly), std::string::npos) << run.output;
    const Usage u = UsageOf(dir / "p.tif");
    EXPECT_EQ(u.size, size) << line;
    EXPECT_LE(u.onDisk, uint64_t{h} * 2 * 4096) << line << ": zeros were written";
    std::FILE* f = std::fopen((dir / "p.tif").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (int y : {0, 1, 9999, h - 1}) {
      std::vector<float> row(static_cast<size_t>(w) * 3);
      ASSERT_EQ(fseeko(f, static_cast<off_t>(349 + uint64_t{12} * w * y), SEEK_SET), 0);
      ASSERT_EQ(std::fread(row.data(), 12, static_cast<size_t>(w), f), static_cast<size_t>(w)) << "row " << y;
      for (int x = 0; x < w; ++x) {
        const int k = flipped ? w - 1 - x : x;
        const uint8_t* p = k < held ? &columns[k][4 * static_cast<size_t>(flipped ? h - 1 - y : y)] : nullptr;
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(row[3 * static_cast<size_t>(x) + c], p ? ReferenceFloat(p[c], p[3]) : 0.0f)
              << line << " row " << y << " column " << x;
      }
    }
    std::fclose(f);
  }
}

TEST(LargeTest, StretchesOfZerosAreLeftHoles) {
  // 3000 x 600 pictures whose black (exponent 0) parts take no disk where
  // they fill a block; libtiff reads every pixel back.
  const int w = 3000, h = 600;
  struct Case {
    const char* what;
    bool (*black)(int x, int y);
    double atMost;  // of the file's size on disk
  };
  const Case cases[] = {
      {"black rows in the middle", [](int, int y) { return y >= 100 && y < 500; }, 0.40},
      {"the left two thirds of every row black", [](int x, int) { return x < 2000; }, 0.60},
      {"no black", [](int, int) { return false; }, 1.01},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<Bytes> rows;
    for (int y = 0; y < h; ++y) {
      Bytes row = SceneRow(w, h, y, 4);
      for (int x = 0; x < w; ++x)
        if (c.black(x, y)) std::fill_n(&row[4 * static_cast<size_t>(x)], 4, 0);
      rows.push_back(row);
    }
    WriteFile(dir / "p.hdr", MakeHdr(ResolutionLine(w, h), rows, Encoding::kRunLength));
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    EXPECT_EQ(run.status, 0) << c.what << run.output;
    const Usage u = UsageOf(dir / "p.tif");
    EXPECT_LE(static_cast<double>(u.onDisk), c.atMost * static_cast<double>(u.size)) << c.what;
    TiffImage image;
    std::string error;
    ASSERT_TRUE(ReadTiff(dir / "p.tif", &image, &error)) << error;
    for (int y = 0; y < h; ++y)
      for (int k = 0; k < w * 3; ++k) {
        const uint8_t* p = &rows[y][k / 3 * 4];
        ASSERT_EQ(image.pixels[static_cast<size_t>(y) * w * 3 + k], ReferenceFloat(p[k % 3], p[3]))
            << c.what << " row " << y << " float " << k;
      }
  }
}

TEST(LargeTest, NoConversionStartsThatTheDiskCannotHold) {
  // 1000 x 1000 needs 12 MB on a file system of 1 MiB; without a way to
  // mount one, 100000 x 100000 needs 120 GB, more than most disks have.
  TempDir dir;
  SmallFileSystem fs(dir / "fs", "size=1m");
  std::string folder = dir / "fs", line = "-Y 1000 +X 1000";
  int w = 1000, h = 1000;
  if (!fs.mounted()) {
    folder = dir.path(), line = "-Y 100000 +X 100000", w = h = 100000;
    if (FreeBytes(folder) >= 120000000349u) GTEST_SKIP() << "cannot mount a tmpfs (needs Linux and root), and the disk has 120 GB free";
  }
  const Bytes old = {'o', 'l', 'd'};
  WriteFile(folder + "/p.hdr", HeaderOnly(line));
  WriteFile(folder + "/p.tif", old);
  const RunResult run = RunCorvalin(folder, {"p.hdr"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, Announcement("p.hdr", "p.tif") + Sizes(w, h) + kNoSpace);
  Bytes have;
  ASSERT_TRUE(ReadFile(folder + "/p.tif", &have));
  EXPECT_EQ(have, old);
  EXPECT_EQ(FilesIn(folder), (std::vector<std::string>{"p.hdr", "p.tif"}));
}

// Row y of the large picture: blocks of 64 equal pixels (so the run-length
// file stays near 45 MB) whose values change along the row and down it.
Bytes BlockRow(int w, int y) {
  Bytes row(static_cast<size_t>(w) * 4);
  for (int x = 0; x < w; ++x) {
    const int b = x / 64;
    uint8_t* p = &row[static_cast<size_t>(x) * 4];
    p[0] = static_cast<uint8_t>(b + y);
    p[1] = static_cast<uint8_t>(b * 3 + y * 7);
    p[2] = static_cast<uint8_t>(y);
    p[3] = static_cast<uint8_t>(110 + (b + y / 100) % 40);
  }
  return row;
}

TEST(LargeTest, PicturePastFourGiBReadsBackWithLibtiff) {
#ifdef CORVALIN_SANITIZED
  GTEST_SKIP() << "4.3 GB through a sanitizer takes too long; the plain build runs this";
#endif
  const int w = 20000, h = 18000;
  TempDir dir;
  if (FreeBytes(dir.path()) < 12000000000u) GTEST_SKIP() << "less than 12 GB free where the tests write";
  {
    std::FILE* f = std::fopen((dir / "p.hdr").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const Bytes header = MakeHdr(ResolutionLine(w, h), {}, Encoding::kRunLength);
    std::fwrite(header.data(), 1, header.size(), f);
    for (int y = 0; y < h; ++y) {
      const Bytes line = EncodeScanline(BlockRow(w, y), Encoding::kRunLength);
      std::fwrite(line.data(), 1, line.size(), f);
    }
    ASSERT_EQ(std::fclose(f), 0);
  }
  const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
  std::remove((dir / "p.hdr").c_str());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(UsageOf(dir / "p.tif").size, 349 + uint64_t{w} * h * 12);

  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen((dir / "p.tif").c_str(), "r");
  ASSERT_NE(tif, nullptr) << "libtiff cannot open the BigTIFF";
  EXPECT_TRUE(TIFFIsBigTIFF(tif));
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, samples = 0, format = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  EXPECT_EQ(width, 20000u);
  EXPECT_EQ(height, 18000u);
  EXPECT_EQ(bits, 32);
  EXPECT_EQ(samples, 3);
  EXPECT_EQ(format, SAMPLEFORMAT_IEEEFP);
  std::vector<float> line(static_cast<size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    ASSERT_EQ(TIFFReadScanline(tif, line.data(), static_cast<uint32_t>(y)), 1) << "row " << y;
    const Bytes rgbe = BlockRow(w, y);
    for (int x = 0; x < w; x += 64) {  // a block's pixels are one value
      for (int k = 0; k < 3; ++k) {
        const float want = ReferenceFloat(rgbe[4 * x + k], rgbe[4 * x + 3]);
        ASSERT_EQ(line[3 * x + k], want) << "row " << y << " column " << x;
        ASSERT_EQ(line[3 * std::min(x + 63, w - 1) + k], want) << "row " << y << " column " << x + 63;
      }
    }
  }
  TIFFClose(tif);
}

}  // namespace
