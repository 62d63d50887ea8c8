// The float TIFF layout, byte by byte, and libtiff reading it back.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <tuple>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "support.h"
#include "tiff/tif_writer.h"

namespace {

struct Tag {
  uint32_t tag, type;
  uint64_t count, value;
};

enum : uint32_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kLong8 = 16 };

uint64_t Get64(const Bytes& b, size_t at) { return Get32(b, at) | uint64_t{Get32(b, at + 4)} << 32; }

// The directory entries as written down by hand from the layout: classic
// (12-byte entries, 32-bit numbers) or BigTIFF (20-byte entries, 64-bit).
void ExpectDirectory(const Bytes& file, uint64_t ifd, const std::vector<Tag>& want, bool big = false) {
  auto number = [&](size_t at) { return big ? Get64(file, at) : Get32(file, at); };
  const size_t offsetBytes = big ? 8 : 4, countBytes = big ? 8 : 2, entryBytes = big ? 20 : 12;
  ASSERT_GE(file.size(), 16u);
  const Bytes head = big ? Bytes{'I', 'I', 43, 0, 8, 0, 0, 0} : Bytes{'I', 'I', 42, 0};
  EXPECT_EQ(Bytes(file.begin(), file.begin() + head.size()), head);
  ASSERT_EQ(number(head.size()), ifd) << "have IFD offset " << number(head.size()) << ", want " << ifd;
  ASSERT_EQ(big ? Get64(file, ifd) : Get16(file, ifd), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    const size_t at = ifd + countBytes + entryBytes * k;
    EXPECT_EQ(Get16(file, at), want[k].tag) << "entry " << k;
    EXPECT_EQ(Get16(file, at + 2), want[k].type) << "tag " << want[k].tag;
    EXPECT_EQ(number(at + 4), want[k].count) << "tag " << want[k].tag;
    EXPECT_EQ(number(at + 4 + offsetBytes), want[k].value) << "tag " << want[k].tag;
  }
  EXPECT_EQ(number(ifd + countBytes + entryBytes * want.size()), 0u) << "next IFD";
}

std::string TextAt(const Bytes& file, size_t at, size_t count) {
  return std::string(file.begin() + at, file.begin() + at + count);
}

Bytes WriteAndRead(TIFWriter& writer, const std::string& path) {
  EXPECT_TRUE(writer.Write());
  Bytes file;
  EXPECT_TRUE(ReadFile(path, &file));
  return file;
}

const std::string kSoftware = "Created by Quen Varlowby's Corvalin.";

TEST(TIFWriterTest, WorkedLayoutTwoByOneWithSoftware) {
  TempDir dir;
  const float pixels[6] = {1.0f, 2.0f, 3.0f, -0.5f, 1e-40f, 3e38f};
  TIFWriter writer((dir / "w.tif").c_str(), pixels, 2, 1);
  writer.SetSoftware(kSoftware.c_str());
  EXPECT_EQ(writer.Layout().PixelOffset(), 247u);
  Bytes file = WriteAndRead(writer, dir / "w.tif");
  ASSERT_EQ(file.size(), 271u);
  ExpectDirectory(file, 73,
                  {{256, kLong, 1, 2},     {257, kLong, 1, 1},     {258, kShort, 3, 8},
                   {259, kShort, 1, 1},    {262, kShort, 1, 2},    {273, kLong, 1, 247},
                   {277, kShort, 1, 3},    {278, kLong, 1, 1},     {279, kLong, 1, 24},
                   {282, kRational, 1, 14}, {283, kRational, 1, 22}, {296, kShort, 1, 2},
                   {305, kAscii, 37, 30},  {339, kShort, 3, 67}});
  const Bytes values = {32, 0, 32, 0, 32, 0, 72, 0, 0, 0, 1, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 30), values);
  EXPECT_EQ(TextAt(file, 30, 37), kSoftware + '\0');
  EXPECT_EQ(Bytes(file.begin() + 67, file.begin() + 73), Bytes({3, 0, 3, 0, 3, 0}));
  // 1, 2, 3, -0.5, 1e-40 (subnormal), 3e38 as little-endian IEEE floats,
  // whatever the byte order of the machine that wrote them.
  const Bytes floats = {0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40,
                        0x00, 0x00, 0x00, 0xbf, 0xc2, 0x16, 0x01, 0x00, 0xe6, 0xb1, 0x61, 0x7f};
  EXPECT_EQ(Bytes(file.begin() + 247, file.end()), floats);
}

TEST(TIFWriterTest, NoTextLayout) {
  TempDir dir;
  const float pixels[6] = {};
  TIFWriter writer((dir / "n.tif").c_str(), pixels, 1, 2);
  Bytes file = WriteAndRead(writer, dir / "n.tif");
  ASSERT_EQ(file.size(), 198u + 24u);
  ExpectDirectory(file, 36,
                  {{256, kLong, 1, 1}, {257, kLong, 1, 2}, {258, kShort, 3, 8}, {259, kShort, 1, 1},
                   {262, kShort, 1, 2}, {273, kLong, 1, 198}, {277, kShort, 1, 3}, {278, kLong, 1, 2},
                   {279, kLong, 1, 24}, {282, kRational, 1, 14}, {283, kRational, 1, 22},
                   {296, kShort, 1, 2}, {339, kShort, 3, 30}});
}

TEST(TIFWriterTest, AllFourTextsInOrder) {
  // Worked by hand: "D1" (3 bytes with its zero) and "Art" (4) sit in
  // their entries; "Soft" (5) and "(c) C" (6) lie out of line, Software
  // between the resolutions and SampleFormat, Copyright last. IFD at 47,
  // 17 entries (210 bytes), pixels at 257.
  TempDir dir;
  const float pixels[3] = {0.25f, 0.5f, 0.75f};
  TIFWriter writer((dir / "t.tif").c_str(), pixels, 1, 1);
  writer.SetCopyright("(c) C");
  writer.SetArtist("Art");
  writer.SetSoftware("Soft");
  writer.SetDescription("D1");
  Bytes file = WriteAndRead(writer, dir / "t.tif");
  ASSERT_EQ(file.size(), 257u + 12u);
  ExpectDirectory(file, 47,
                  {{256, kLong, 1, 1},      {257, kLong, 1, 1},      {258, kShort, 3, 8},
                   {259, kShort, 1, 1},     {262, kShort, 1, 2},     {270, kAscii, 3, 0x00003144},  // "D1\0"
                   {273, kLong, 1, 257},    {277, kShort, 1, 3},     {278, kLong, 1, 1},
                   {279, kLong, 1, 12},     {282, kRational, 1, 14}, {283, kRational, 1, 22},
                   {296, kShort, 1, 2},     {305, kAscii, 5, 30},    {315, kAscii, 4, 0x00747241},  // "Art\0"
                   {339, kShort, 3, 35},    {33432, kAscii, 6, 41}});
  EXPECT_EQ(TextAt(file, 30, 5), std::string("Soft", 5));
  EXPECT_EQ(TextAt(file, 41, 6), std::string("(c) C", 6));
}

TEST(TIFWriterTest, TextSetTwiceWritesOnlyTheSecond) {
  TempDir dir;
  const float pixels[3] = {1, 2, 3};
  TIFWriter once((dir / "once.tif").c_str(), pixels, 1, 1);
  once.SetArtist("second");
  TIFWriter twice((dir / "twice.tif").c_str(), pixels, 1, 1);
  twice.SetArtist("a much longer first text");
  twice.SetArtist("second");
  EXPECT_EQ(WriteAndRead(twice, dir / "twice.tif"), WriteAndRead(once, dir / "once.tif"));
}

TEST(TIFWriterTest, OddLengthTextShiftsEverythingAfterIt) {
  TempDir dir;
  const float pixels[3] = {1, 2, 3};
  TIFWriter writer((dir / "o.tif").c_str(), pixels, 1, 1);
  writer.SetSoftware("abcd");  // five bytes with its zero
  Bytes file = WriteAndRead(writer, dir / "o.tif");
  ASSERT_EQ(file.size(), 215u + 12u);
  ExpectDirectory(file, 41,
                  {{256, kLong, 1, 1}, {257, kLong, 1, 1}, {258, kShort, 3, 8}, {259, kShort, 1, 1},
                   {262, kShort, 1, 2}, {273, kLong, 1, 215}, {277, kShort, 1, 3}, {278, kLong, 1, 1},
                   {279, kLong, 1, 12}, {282, kRational, 1, 14}, {283, kRational, 1, 22},
                   {296, kShort, 1, 2}, {305, kAscii, 5, 30}, {339, kShort, 3, 35}});
}

TEST(TIFWriterTest, ZeroWidthHasNoPixelData) {
  TempDir dir;
  TIFWriter writer((dir / "z.tif").c_str(), nullptr, 0, 5);
  Bytes file = WriteAndRead(writer, dir / "z.tif");
  ASSERT_EQ(file.size(), 198u);
  EXPECT_EQ(Get32(file, 36 + 2 + 12 * 8 + 8), 0u) << "StripByteCounts";
  EXPECT_EQ(Get32(file, 36 + 2 + 12 * 7 + 8), 5u) << "RowsPerStrip";
}

TEST(TIFWriterTest, LibtiffReadsEveryFloatAndTextBack) {
  // Classic and BigTIFF. Short texts sit in their entries: a 2-byte
  // Software text and a 3-byte Artist text in either layout, the 9-byte
  // Copyright text in BigTIFF's 8-byte field only.
  const int width = 23, height = 17;
  std::vector<float> pixels(width * height * 3);
  for (size_t k = 0; k < pixels.size(); ++k)
    pixels[k] = ReferenceFloat(static_cast<uint8_t>(k * 37), static_cast<uint8_t>(1 + k % 255));
  for (bool big : {false, true}) {
    TempDir dir;
    TIFWriter writer((dir / "l.tif").c_str(), pixels.data(), width, height);
    writer.SetSoftware("So");
    writer.SetDescription("a test picture");
    writer.SetArtist("Art");
    writer.SetCopyright("(c) 2026");
    writer.ForceBigTiff(big);
    ASSERT_TRUE(writer.Write());
    TiffImage image;
    std::string error;
    ASSERT_TRUE(ReadTiff(dir / "l.tif", &image, &error)) << error;
    EXPECT_EQ(image.width, 23u) << big;
    EXPECT_EQ(image.height, 17u) << big;
    EXPECT_EQ(image.bitsPerSample, 32) << big;
    EXPECT_EQ(image.samplesPerPixel, 3) << big;
    EXPECT_EQ(image.sampleFormat, 3) << big;  // IEEE float
    EXPECT_EQ(image.photometric, 2) << big;   // RGB
    EXPECT_EQ(image.compression, 1) << big;   // none
    EXPECT_EQ(image.software, "So") << big;
    EXPECT_EQ(image.artist, "Art") << big;
    EXPECT_EQ(image.description, "a test picture") << big;
    EXPECT_EQ(image.copyright, "(c) 2026") << big;
    ASSERT_EQ(image.pixels.size(), pixels.size());
    EXPECT_EQ(std::memcmp(image.pixels.data(), pixels.data(), pixels.size() * 4), 0) << big;
  }
}

#ifndef _WIN32
TEST(TIFWriterTest, FullDeviceFailsAndItsLinkStays) {
  // A device is written in place; on failure its name is left alone.
  TempDir dir;
  ASSERT_EQ(symlink("/dev/full", (dir / "full.tif").c_str()), 0);
  std::vector<float> pixels(64 * 64 * 3, 1.0f);
  TIFWriter writer((dir / "full.tif").c_str(), pixels.data(), 64, 64);
  EXPECT_FALSE(writer.Write());
  char target[64] = {};
  ASSERT_GT(readlink((dir / "full.tif").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/dev/full");
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"full.tif"});
}
#endif

TEST(TIFWriterTest, DirectoryAtOutputNameIsLeftAlone) {
  TempDir dir;
  MakeFolder(dir / "d.tif");
  const float pixels[3] = {1, 2, 3};
  TIFWriter writer((dir / "d.tif").c_str(), pixels, 1, 1);
  EXPECT_FALSE(writer.Write());
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(dir / "d.tif")));
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"d.tif"});
}

TEST(TIFWriterTest, SizesNoFileCanHaveCreateNoFile) {
  TempDir dir;
  struct Case {
    int32_t width, height;
  } cases[] = {{-1, 1}, {1, -1}, {2147483647, 2147483647}, {715827883, 2147483647}};
  for (const Case& c : cases) {
    TIFWriter writer((dir / "big.tif").c_str(), nullptr, c.width, c.height);
    EXPECT_FALSE(writer.Write()) << c.width << " x " << c.height;
    EXPECT_FALSE(FileExists(dir / "big.tif")) << c.width << " x " << c.height;
  }
}

TEST(TIFWriterTest, BigTiffWorkedLayoutTwoByOneWithSoftware) {
  // Worked by hand: the 16-byte header, the 37-byte text at 16, the IFD at
  // 53 (8 + 14 * 20 + 8 = 296 bytes), the pixels at 349. The triples and
  // the resolutions sit in their entries: 32, 32, 32 is 0x0020_0020_0020.
  TempDir dir;
  const float pixels[6] = {1.0f, 2.0f, 3.0f, -0.5f, 1e-40f, 3e38f};
  TIFWriter writer((dir / "w.tif").c_str(), pixels, 2, 1);
  writer.SetSoftware(kSoftware.c_str());
  writer.ForceBigTiff(true);
  EXPECT_EQ(writer.Layout().PixelOffset(), 349u);
  Bytes file = WriteAndRead(writer, dir / "w.tif");
  ASSERT_EQ(file.size(), 373u);
  ExpectDirectory(file, 53,
                     {{256, kLong, 1, 2},
                      {257, kLong, 1, 1},
                      {258, kShort, 3, 0x002000200020u},
                      {259, kShort, 1, 1},
                      {262, kShort, 1, 2},
                      {273, kLong8, 1, 349},
                      {277, kShort, 1, 3},
                      {278, kLong, 1, 1},
                      {279, kLong8, 1, 24},
                      {282, kRational, 1, 0x0000000100000048u},
                      {283, kRational, 1, 0x0000000100000048u},
                      {296, kShort, 1, 2},
                      {305, kAscii, 37, 16},
                      {339, kShort, 3, 0x000300030003u}},
                  /*big=*/true);
  EXPECT_EQ(TextAt(file, 16, 37), kSoftware + '\0');
  const Bytes floats = {0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40,
                        0x00, 0x00, 0x00, 0xbf, 0xc2, 0x16, 0x01, 0x00, 0xe6, 0xb1, 0x61, 0x7f};
  EXPECT_EQ(Bytes(file.begin() + 349, file.end()), floats);
}

TEST(TIFWriterTest, BigTiffTextsOfEightBytesOrLessSitInTheirEntries) {
  TempDir dir;
  const float pixels[3] = {0.25f, 0.5f, 0.75f};
  TIFWriter writer((dir / "t.tif").c_str(), pixels, 1, 1);
  writer.ForceBigTiff(true);
  writer.SetDescription("seven..");  // 8 bytes with its zero: in the entry
  writer.SetArtist("nine byte");      // 10: out of line, at 16
  writer.SetCopyright("(c) C");       // 6: in the entry
  Bytes file = WriteAndRead(writer, dir / "t.tif");
  // IFD at 16 + 10 = 26; 16 entries: 8 + 320 + 8 = 336 bytes; pixels at 362.
  ASSERT_EQ(file.size(), 362u + 12u);
  ExpectDirectory(file, 26,
                     {{256, kLong, 1, 1},
                      {257, kLong, 1, 1},
                      {258, kShort, 3, 0x002000200020u},
                      {259, kShort, 1, 1},
                      {262, kShort, 1, 2},
                      {270, kAscii, 8, 0x002e2e6e65766573u},  // "seven..\0"
                      {273, kLong8, 1, 362},
                      {277, kShort, 1, 3},
                      {278, kLong, 1, 1},
                      {279, kLong8, 1, 12},
                      {282, kRational, 1, 0x0000000100000048u},
                      {283, kRational, 1, 0x0000000100000048u},
                      {296, kShort, 1, 2},
                      {315, kAscii, 10, 16},
                      {339, kShort, 3, 0x000300030003u},
                      {33432, kAscii, 6, 0x0000004320296328u}},  // "(c) C\0"
                  /*big=*/true);
  EXPECT_EQ(TextAt(file, 16, 10), std::string("nine byte", 10));
}

TEST(TIFWriterTest, BigTiffExactlyWhenTheClassicFileWouldPassFourGiB) {
  // With the converter's Software text the classic header is 247 bytes:
  // 247 + 357913920 * 12 = 2^32 - 9 is the last classic size.
  for (const auto& [w, h, big] : {std::tuple<int32_t, int32_t, bool>{357913920, 1, false},
                                  {1, 357913920, false}, {178956960, 2, false},
                                  {357913921, 1, true}, {178956961, 2, true}, {20000, 18000, true}}) {
    TiffTexts texts;
    texts.software = kSoftware;
    const TiffLayout layout(w, h, texts);
    EXPECT_EQ(layout.Big(), big) << w << " x " << h;
    EXPECT_EQ(layout.PixelOffset(), big ? 349u : 247u) << w << " x " << h;
  }
}


}  // namespace
