// The whole conversion, run as the real program, read back with libtiff.
#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "driver/bands.h"
#include "driver/converter.h"
#include "messages.h"
#include "support.h"

namespace {

using namespace text;

std::string Success(int w, int h) {
  return Announcement("p.hdr", "p.tif") + Sizes(w, h) + kReading + kProcessed + kFinished;
}

struct Converted {
  RunResult run;
  TiffImage image;
  bool tiffRead = false;
  std::string error;
};

Converted Convert(const TempDir& dir, const Bytes& hdr) {
  Converted c;
  WriteFile(dir / "p.hdr", hdr);
  c.run = RunCorvalin(dir.path(), {"p.hdr"});
  c.tiffRead = ReadTiff(dir / "p.tif", &c.image, &c.error);
  return c;
}

// Every float of the TIFF against the RGBE bytes of the upright picture.
void ExpectPixels(const TiffImage& image, const Bytes& picture, const std::string& what) {
  ASSERT_EQ(image.pixels.size(), picture.size() / 4 * 3) << what;
  for (size_t p = 0; p < picture.size() / 4; ++p) {
    for (int k = 0; k < 3; ++k) {
      const float want = ReferenceFloat(picture[4 * p + k], picture[4 * p + 3]);
      ASSERT_EQ(image.pixels[3 * p + k], want) << what << ": pixel " << p << " sample " << k;
    }
  }
}

struct SizeCase {
  int width, height;
  Encoding encoding;
};

class WidthTest : public testing::TestWithParam<SizeCase> {};

TEST_P(WidthTest, EveryFloatMatches) {
  const SizeCase& s = GetParam();
  TempDir dir;
  const Bytes picture = GradientPicture(s.width, s.height, s.width);
  Converted c = Convert(dir, MakeHdr(ResolutionLine(s.width, s.height), Rows(picture, s.width), s.encoding));
  EXPECT_EQ(c.run.status, 0);
  EXPECT_EQ(c.run.output, Success(s.width, s.height));
  ASSERT_TRUE(c.tiffRead) << c.error;
  EXPECT_EQ(c.image.width, static_cast<uint32_t>(s.width));
  EXPECT_EQ(c.image.height, static_cast<uint32_t>(s.height));
  ExpectPixels(c.image, picture, "");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WidthTest,
    testing::Values(SizeCase{1, 4, Encoding::kFlat}, SizeCase{7, 4, Encoding::kFlat},
                    SizeCase{8, 4, Encoding::kFlat}, SizeCase{8, 4, Encoding::kRunLength},
                    SizeCase{300, 20, Encoding::kRunLength}, SizeCase{32767, 2, Encoding::kRunLength},
                    SizeCase{32768, 2, Encoding::kFlat},
                    // Streamed in several bands.
                    SizeCase{1600, 700, Encoding::kRunLength}),
    [](const testing::TestParamInfo<SizeCase>& info) {
      return std::to_string(info.param.width) +
             (info.param.encoding == Encoding::kFlat ? "Flat" : "RunLength");
    });

TEST(OrientationTest, EveryFormGivesTheSameTiff) {
  // A small picture in one band, and a wide one in several: 10 rows a band
  // when stored by rows, 16 (a cache line of a column) when stored as columns,
  // with a last band that is short.
  for (const std::pair<int, int>& size : {std::pair<int, int>{11, 9}, std::pair<int, int>{8192, 50}}) {
    const int w = size.first, h = size.second;  // plain names: the lambda below takes them
    const Bytes picture = GradientPicture(w, h, 5);
    auto at = [&](int row, int col) { return picture.begin() + (static_cast<size_t>(row) * w + col) * 4; };
    const std::string W = std::to_string(w), H = std::to_string(h);
    struct Form {
      std::string line;
      bool xMajor, flipScanlines, flipPixels;
    } forms[] = {
        {"-Y " + H + " +X " + W, false, false, false}, {"-Y " + H + " -X " + W, false, false, true},
        {"+Y " + H + " +X " + W, false, true, false},  {"+Y " + H + " -X " + W, false, true, true},
        {"+X " + W + " -Y " + H, true, false, false},  {"-X " + W + " -Y " + H, true, true, false},
        {"+X " + W + " +Y " + H, true, false, true},   {"-X " + W + " +Y " + H, true, true, true},
    };
    Bytes reference;
    for (const Form& f : forms) {
      // Scanline k and its pixel i, placed in the upright picture.
      const int count = f.xMajor ? w : h, length = f.xMajor ? h : w;
      std::vector<Bytes> scanlines;
      for (int k = 0; k < count; ++k) {
        Bytes line;
        const int kk = f.flipScanlines ? count - 1 - k : k;
        for (int i = 0; i < length; ++i) {
          const int ii = f.flipPixels ? length - 1 - i : i;
          auto p = f.xMajor ? at(ii, kk) : at(kk, ii);
          line.insert(line.end(), p, p + 4);
        }
        scanlines.push_back(line);
      }
      TempDir dir;
      Converted c = Convert(dir, MakeHdr(f.line + "\n", scanlines, Encoding::kRunLength));
      EXPECT_EQ(c.run.output, Success(w, h)) << f.line;
      ASSERT_TRUE(c.tiffRead) << c.error;
      ExpectPixels(c.image, picture, f.line);
      Bytes tif;
      ASSERT_TRUE(ReadFile(dir / "p.tif", &tif));
      if (reference.empty()) reference = tif;
      EXPECT_EQ(tif, reference) << f.line;
    }
  }
}

TEST(TruncationTest, MissingPixelsAreBlackAndHeightIsKept) {
  const int w = 40, h = 6;
  const Bytes picture = GradientPicture(w, h, 9);
  for (Encoding encoding : {Encoding::kRunLength, Encoding::kFlat}) {
    const Bytes full = MakeHdr(ResolutionLine(w, h), Rows(picture, w), encoding);
    const size_t header = MakeHdr(ResolutionLine(w, h), {}, encoding).size();
    for (size_t cut : {header, header + 1, header + 5, header + 150, (header + full.size()) / 2,
                       full.size() - 1}) {
      const std::string what = std::string(encoding == Encoding::kFlat ? "flat" : "rle") +
                               " cut at " + std::to_string(cut);
      TempDir dir;
      Converted c = Convert(dir, Bytes(full.begin(), full.begin() + cut));
      EXPECT_EQ(c.run.status, 1) << what;
      EXPECT_EQ(c.run.output, Announcement("p.hdr", "p.tif") + Sizes(w, h) + kReading + kEndedEarly +
                                  kProcessed + kFinished)
          << what;
      ASSERT_TRUE(c.tiffRead) << what << ": " << c.error;
      ASSERT_EQ(c.image.height, static_cast<uint32_t>(h)) << what;
      // Each float is what the file says or, where it said nothing, 0; at
      // least the last pixel has been lost.
      size_t zeros = 0;
      for (size_t p = 0; p < picture.size() / 4; ++p) {
        for (int k = 0; k < 3; ++k) {
          const float have = c.image.pixels[3 * p + k];
          const float want = ReferenceFloat(picture[4 * p + k], picture[4 * p + 3]);
          if (have == 0.0f) ++zeros;
          else ASSERT_EQ(have, want) << what << ": pixel " << p << " sample " << k;
        }
      }
      EXPECT_GE(zeros, 3u) << what;
    }
  }
}

TEST(TruncationTest, RowsAfterTheCutAreZero) {
  const int w = 16, h = 4;
  const Bytes picture = GradientPicture(w, h, 3);
  std::vector<Bytes> rows = Rows(picture, w);
  Bytes full = MakeHdr(ResolutionLine(w, h), {rows[0], rows[1]}, Encoding::kRunLength);
  full.resize(full.size() - 3);  // row 1 loses the end of its exponents
  TempDir dir;
  Converted c = Convert(dir, full);
  ASSERT_TRUE(c.tiffRead) << c.error;
  for (size_t k = 0; k < static_cast<size_t>(w) * 3; ++k)
    ASSERT_EQ(c.image.pixels[k], ReferenceFloat(picture[k / 3 * 4 + k % 3], picture[k / 3 * 4 + 3]));
  for (size_t k = 2 * w * 3; k < c.image.pixels.size(); ++k) ASSERT_EQ(c.image.pixels[k], 0.0f) << k;
}

TEST(XYZTest, TheLastFormatLineDecidesAndXYZBecomesRGB) {
  // Five pixels and their RGB, worked out apart from this program (in double,
  // (m0 X + m1 Y) + m2 Z, rounded once to float): white, zero, two colours,
  // one of them outside the primaries, and the largest value.
  const Bytes pixels = {128, 128, 128, 129, 0, 0, 0, 0, 200, 100, 50, 130,
                        10, 200, 30, 128, 255, 255, 255, 255};
  const float rgbFromXYZ[15] = {0x1.01p+0f,      0x1.01p+0f,      0x1.01p+0f,
                                0.0f,            0.0f,            0.0f,
                                0x1.78f456p+2f,  -0x1.f3714cp-5f, 0x1.88e4b8p-1f,
                                -0x1.b65764p-1f, 0x1.83403ap+0f,  -0x1.ba5ff6p-5f,
                                0x1.ffp+126f,    0x1.ffp+126f,    0x1.ffp+126f};
  const std::string identified = "#?RADIANCE\n";
  const std::string resolution = "\n-Y 1 +X 5\n";
  struct Case {
    const char* what;
    std::string header;  // everything before the resolution line's empty line
    bool xyz;
  } cases[] = {
      {"xyz", identified + "FORMAT=32-bit_rle_xyze\n", true},
      {"rgbe", identified + "FORMAT=32-bit_rle_rgbe\n", false},
      {"none", identified + "EXPOSURE=2\n", false},
      {"last of two is rgbe", identified + "FORMAT=32-bit_rle_xyze\nFORMAT=32-bit_rle_rgbe\n", false},
      {"last of two is xyz", identified + "FORMAT=32-bit_rle_rgbe\nOTHER=1\nFORMAT=32-bit_rle_xyze\n", true},
      {"white space around the value", identified + "FORMAT= \t32-bit_rle_xyze \r\n", true},
      {"long line read whole", identified + "FORMAT=" + std::string(5000, ' ') + "32-bit_rle_xyze\n", true},
      {"longer value", identified + "FORMAT=32-bit_rle_xyzee\n", false},
      {"value cut short", identified + "FORMAT=32-bit_rle_xyz\n", false},
      {"lower case variable", identified + "format=32-bit_rle_xyze\n", false},
      {"space before =", identified + "FORMAT =32-bit_rle_xyze\n", false},
      {"first line", "FORMAT=32-bit_rle_xyze\n", true},
  };
  for (const Case& c : cases) {
    std::string text = c.header + resolution;
    Bytes hdr(text.begin(), text.end());
    hdr.insert(hdr.end(), pixels.begin(), pixels.end());
    TempDir dir;
    Converted converted = Convert(dir, hdr);
    EXPECT_EQ(converted.run.status, 0) << c.what << "\n" << converted.run.output;
    ASSERT_TRUE(converted.tiffRead) << c.what << ": " << converted.error;
    for (size_t k = 0; k < 15; ++k) {
      const float want = c.xyz ? rgbFromXYZ[k] : ReferenceFloat(pixels[k / 3 * 4 + k % 3], pixels[k / 3 * 4 + 3]);
      uint32_t have, wantBits;  // bits, so that -0.0 differs from +0.0
      std::memcpy(&have, &converted.image.pixels[k], 4);
      std::memcpy(&wantBits, &want, 4);
      EXPECT_EQ(have, wantBits) << c.what << ": sample " << k << " is " << converted.image.pixels[k]
                                << ", want " << want;
    }
  }
}

TEST(WholeOrNothingTest, LeftoverTemporaryFilesGoUnlessAConversionHoldsThem) {
  // A kill between the two calls that give the finished file its name
  // (elsewhere than Linux and Windows, at any moment) can leave a file
  // under a temporary name: the next conversion to the same name removes
  // it, but never the file of a conversion still running, which holds it.
  const Bytes old = {'o', 'l', 'd'};
  const Bytes hdr = GradientHdr(40, 6);
  TempDir clean;
  ASSERT_EQ(Convert(clean, hdr).run.status, 0);
  const Bytes want = Contents(clean / "p.tif");
  for (bool held : {false, true}) {
    TempDir dir;
    WriteFile(dir / "p.tif", old);
    WriteFile(dir / ".p.tif.part0", old);
    Converted c;
    {
      HeldFile holder(held ? dir / ".p.tif.part0" : dir / "none");
      ASSERT_EQ(holder.held(), held);
      c = Convert(dir, hdr);
    }
    EXPECT_EQ(c.run.status, 0) << "held: " << held << "\n" << c.run.output;
    EXPECT_EQ(Contents(dir / "p.tif"), want) << "held: " << held;
    std::vector<std::string> files = {"p.hdr", "p.tif"};
    if (held) files.insert(files.begin(), ".p.tif.part0");
    EXPECT_EQ(FilesIn(dir.path()), files) << "held: " << held;
  }
}

TEST(WholeOrNothingTest, ConversionsAtOnceToOneNameAllFinish) {
  // Four conversions of one picture at once, round after round: each finds
  // the others' files beside the TIFF, and must neither take nor remove one.
  // Every one finishes, and one whole TIFF is left, with nothing beside it.
  const Bytes hdr = GradientHdr(256, 128);
#ifdef _WIN32
  const int rounds = 20;  // each start of a program under Wine is slow
#else
  const int rounds = 60;
#endif
  TempDir dir;
  ASSERT_EQ(Convert(dir, hdr).run.status, 0);
  const Bytes want = Contents(dir / "p.tif");
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::unique_ptr<Child>> children;
    for (int k = 0; k < 4; ++k) children.push_back(std::make_unique<Child>(dir.path(), std::vector<std::string>{"p.hdr"}));
    for (auto& child : children) {
      const RunResult run = child->Wait();
      ASSERT_EQ(run.status, 0) << "round " << round << "\n" << run.output;
    }
    ASSERT_EQ(Contents(dir / "p.tif"), want) << "round " << round;
    ASSERT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"})) << "round " << round;
  }
}

TEST(MessagesTest, EachResultPrintsTheManualsText) {
  const std::pair<Result, std::string> messages[] = {
      {Result::kOk, ""},
      {Result::kUsage, kUsage},
      {Result::kCannotOpen, OpenError("%s")},
      {Result::kNoResolution, kNoResolution},
      {Result::kInvalidSize, kInvalidSize},
      {Result::kTooLarge, kTooLarge},
      {Result::kNoSpace, kNoSpace},
      {Result::kNoMemory, kNoMemory},
      {Result::kCorrupt, kCorrupt},
      {Result::kEndedEarly, kEndedEarly},
      {Result::kWriteFailed, kWriteError},
  };
  for (const auto& [result, message] : messages)
    EXPECT_EQ(Message(result), message) << "result " << static_cast<int>(result);
}

TEST(FailureTest, RunLengthLengthMismatchIsFatal) {
  const int w = 16, h = 3;
  std::vector<Bytes> rows = Rows(GradientPicture(w, h), w);
  Bytes hdr = MakeHdr(ResolutionLine(w, h), {rows[0]}, Encoding::kRunLength);
  Bytes wrong = EncodeScanline(Bytes(4 * 17, 128), Encoding::kRunLength);  // names 17
  hdr.insert(hdr.end(), wrong.begin(), wrong.end());
  TempDir dir;
  Converted c = Convert(dir, hdr);
  EXPECT_EQ(c.run.status, 1);
  EXPECT_EQ(c.run.output, Announcement("p.hdr", "p.tif") + Sizes(w, h) + kReading + kCorrupt);
  EXPECT_FALSE(FileExists(dir / "p.tif"));
}

TEST(FailureTest, BadSizesWriteNothing) {
  struct Case {
    int w, h;
    std::string message;
  } cases[] = {{0, 5, kInvalidSize}, {5, 0, kInvalidSize}, {-3, 5, kInvalidSize},
               {5, -2147483647 - 1, kInvalidSize}, {2147483647, 2147483647, kTooLarge},
               {715827883, 2147483647, kTooLarge}};
  for (const Case& s : cases) {
    TempDir dir;
    Converted c = Convert(dir, MakeHdr(ResolutionLine(s.w, s.h), {}, Encoding::kFlat));
    EXPECT_EQ(c.run.status, 1) << s.w << "x" << s.h;
    EXPECT_EQ(c.run.output, Announcement("p.hdr", "p.tif") + Sizes(s.w, s.h) + s.message);
    EXPECT_FALSE(FileExists(dir / "p.tif"));
  }
}

TEST(FailureTest, OnlySizesNoFileCanHaveAreTooLarge) {
  uint64_t bytes = 0;
  // The classic file reaches 4 GiB: 247 + 357913920 * 12 = 4294967287.
  EXPECT_EQ(CheckImageSize(357913920, 1, &bytes), Result::kOk);
  EXPECT_EQ(bytes, 4294967287u);
  EXPECT_EQ(CheckImageSize(1, 357913920, &bytes), Result::kOk);
  EXPECT_EQ(bytes, 4294967287u);
  // One pixel more is a BigTIFF, its pixels at 349.
  EXPECT_EQ(CheckImageSize(357913921, 1, &bytes), Result::kOk);
  EXPECT_EQ(bytes, 4294967401u);
  // The largest file 64 bits can measure: 349 + 715827882 * 2147483647 * 12
  // fits, one column more does not.
  EXPECT_EQ(CheckImageSize(715827882, 2147483647, &bytes), Result::kOk);
  EXPECT_EQ(bytes, 18446744047939748197u);
  EXPECT_EQ(CheckImageSize(715827883, 2147483647, &bytes), Result::kTooLarge);
  EXPECT_EQ(CheckImageSize(2147483647, 2147483647, &bytes), Result::kTooLarge);
  EXPECT_EQ(CheckImageSize(1, 0, &bytes), Result::kInvalidSize);
}

TEST(FailureTest, UnwritableTiffIsAnError) {
  TempDir dir;
  MakeFolder(dir / "p.tif");
  Converted c = Convert(dir, MakeHdr(ResolutionLine(8, 2), Rows(GradientPicture(8, 2), 8), Encoding::kFlat));
  EXPECT_EQ(c.run.status, 1);
  EXPECT_EQ(c.run.output, Announcement("p.hdr", "p.tif") + Sizes(8, 2) + kReading + kProcessed + kWriteError);
}

TEST(FailureTest, AllocationFailureIsReported) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has no address-space limit for a child to run under";
#elif defined(CORVALIN_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
  // An X-major picture is held whole: 16384 x 16384 needs 1 GiB of RGBE
  // pixels, and the child may have 1 GiB in all.
  TempDir dir;
  WriteFile(dir / "p.hdr", MakeHdr("+X 16384 -Y 16384\n", {}, Encoding::kFlat));
  WriteFile(dir / "p.tif", Bytes{'o', 'l', 'd'});
  RunResult run = RunCorvalin(dir.path(), {"p.hdr"}, uint64_t{1} << 30);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, Announcement("p.hdr", "p.tif") + Sizes(16384, 16384) + kNoMemory);
  Bytes old;
  ASSERT_TRUE(ReadFile(dir / "p.tif", &old));
  EXPECT_EQ(old, (Bytes{'o', 'l', 'd'}));
}

}  // namespace
