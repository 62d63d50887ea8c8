// The converter's TIFF written in bands: any order gives the file
// TIFWriter::Write gives, rows left out are a hole, and a file whose rows
// were not each given exactly once is refused, leaving the old one.
#include <gtest/gtest.h>

#include "driver/bands.h"
#include "driver/converter.h"
#include "driver/tiff_output.h"
#include "support.h"

namespace {

// Rows as they are given: written (floats from the picture) or skipped.
struct Rows {
  int32_t first, count;
  bool skipped = false;
};

// The file TiffOutput makes at path from pixels, given as rows says; the
// status of the first step that failed, or of Finish.
Status WriteInBands(const std::string& path, const std::vector<float>& pixels, int32_t width, int32_t height,
                    const std::vector<Rows>& rows) {
  TiffOutput tiff(ConverterLayout(width, height), height);
  Status s = tiff.Start(path);
  for (const Rows& r : rows) {
    if (!s.ok()) break;
    s = r.skipped ? tiff.SkipRows(r.first, r.count)
                  : tiff.WriteRows(&pixels[static_cast<size_t>(r.first) * width * 3], r.first, r.count);
  }
  return s.ok() ? tiff.Finish() : s;
}

Bytes WrittenWhole(const std::string& path, const std::vector<float>& pixels, int32_t width, int32_t height) {
  TIFWriter whole(path.c_str(), pixels.data(), width, height);
  whole.SetSoftware("Created by Quen Varlowby's Corvalin.");
  EXPECT_TRUE(whole.Write());
  return Contents(path);
}

TEST(TiffOutputTest, BandsInAnyOrderGiveTheFileOfWrite) {
  // Bands given bottom-up, top-down and out of order, each written at its
  // place; rows skipped at the start (a picture stored bottom-up) and at
  // the end are a hole, which reads as the zeros they hold.
  TempDir dir;
  const int width = 37, height = 11;
  std::vector<float> pixels(static_cast<size_t>(width) * height * 3, 0.0f);
  for (size_t k = 2 * width * 3; k < 9u * width * 3; ++k) pixels[k] = static_cast<float>(k) * 0.5f;
  const Bytes want = WrittenWhole(dir / "whole.tif", pixels, width, height);
  const std::vector<std::vector<Rows>> orders = {
      {{0, 11}},
      {{8, 3}, {5, 3}, {2, 3}, {0, 2}},
      {{4, 4}, {0, 4}, {8, 3}},
      {{10, 1}, {0, 10}},
      {{0, 2, true}, {2, 7}, {9, 2, true}},
      {{9, 2, true}, {5, 4}, {0, 2, true}, {2, 3}},
  };
  for (const std::vector<Rows>& order : orders) {
    const Status s = WriteInBands(dir / "bands.tif", pixels, width, height, order);
    EXPECT_TRUE(s.ok()) << "bands starting at row " << order.front().first;
    EXPECT_EQ(Contents(dir / "bands.tif"), want) << "bands starting at row " << order.front().first;
  }
}

TEST(TiffOutputTest, RowsNotGivenExactlyOnceAreRefusedAndTheOldFileStays) {
  struct Case {
    const char* what;
    std::vector<Rows> rows;
    bool finish;  // Finish, or drop the file unfinished
  } cases[] = {
      {"dropped after the header", {}, false},
      {"dropped mid-picture", {{0, 2}}, false},
      {"a row never given", {{0, 2}, {3, 1}}, true},
      {"a row given twice, one left out", {{0, 2}, {1, 1}, {3, 1}}, true},
      {"a row written and skipped", {{0, 4}, {3, 1, true}}, true},
      {"overlapping bands", {{0, 3}, {2, 2}}, true},
      {"rows outside the picture", {{0, 3}, {3, 2}}, true},
  };
  const std::vector<float> pixels(4 * 5 * 3, 1.0f);
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "o.tif", Bytes{'o', 'l', 'd'});
    {
      TiffOutput tiff(ConverterLayout(4, 4), 4);
      ASSERT_TRUE(tiff.Start(dir / "o.tif").ok()) << c.what;
      for (const Rows& r : c.rows) {
        if (r.skipped)
          tiff.SkipRows(r.first, r.count);
        else
          tiff.WriteRows(&pixels[static_cast<size_t>(r.first) * 4 * 3], r.first, r.count);
      }
      if (c.finish) {
        EXPECT_FALSE(tiff.Finish().ok()) << c.what;
      }
    }
    EXPECT_EQ(Contents(dir / "o.tif"), (Bytes{'o', 'l', 'd'})) << c.what;
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"o.tif"}) << c.what;
  }
}

}  // namespace
