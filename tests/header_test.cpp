// The command line, the file names and the Radiance header.
#include <cctype>
#include <cstring>

#include <gtest/gtest.h>

#include "driver/bands.h"
#include "driver/converter.h"
#include "messages.h"
#include "support.h"

namespace {

using namespace text;

TEST(CommandLineTest, WrongArgumentCountPrintsUsage) {
  TempDir dir;
  for (const auto& args : {std::vector<std::string>{}, {"a.hdr", "b.hdr"}, {"a", "b", "c"}}) {
    RunResult run = RunCorvalin(dir.path(), args);
    EXPECT_EQ(run.status, 1) << args.size() << " arguments";
    EXPECT_EQ(run.output, std::string(kBanner) + kUsage) << args.size() << " arguments";
  }
}

TEST(CommandLineTest, HelpAndVersionOnlyForTheirExactArguments) {
  TempDir dir;
  for (const char* argument : {"--help", "-h"}) {
    RunResult run = RunCorvalin(dir.path(), {argument});
    EXPECT_EQ(run.status, 0) << argument;
    EXPECT_EQ(run.output.rfind("corvalin converts a Radiance RGBE picture", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("Usage: corvalin picture\n"), std::string::npos) << run.output;
    EXPECT_TRUE(EndsWith(run.output, "(man ./corvalin.1), corvalin-manual.txt on Windows, doc/corvalin.1 in the source.\n"))
        << run.output;
  }
  for (const char* argument : {"--version", "-V"}) {
    RunResult run = RunCorvalin(dir.path(), {argument});
    EXPECT_EQ(run.status, 0) << argument;
    EXPECT_EQ(run.output, "corvalin " CORVALIN_VERSION "\n") << argument;
  }
  // Anything else is a picture's name: a near miss, the same with another
  // argument (a usage error), and the picture that a name like it really is.
  EXPECT_EQ(RunCorvalin(dir.path(), {"--Help"}).output,
            Announcement("--Help.hdr", "--Help.tif") + OpenError("--Help.hdr"));
  EXPECT_EQ(RunCorvalin(dir.path(), {"--help", "x.hdr"}).output, std::string(kBanner) + kUsage);
  WriteFile(dir / "--help.hdr", MakeHdr("-Y 1 +X 2\n", {Bytes(8, 128)}, Encoding::kFlat));
  RunResult run = RunCorvalin(dir.path(), {"./--help"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(FileExists(dir / "--help.tif"));
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out.substr(0, 40);
}

struct NameCase {
  std::string argument, input, output;
};

class FileNamesTest : public testing::TestWithParam<NameCase> {};

// A missing input shows both names, then the open error, with status 1.
TEST_P(FileNamesTest, AnnouncesNamesThenOpenError) {
  const NameCase& c = GetParam();
  EXPECT_EQ(NamesFromArgument(c.argument).input, c.input);
  EXPECT_EQ(NamesFromArgument(c.argument).output, c.output);
  TempDir dir;
  RunResult run = RunCorvalin(dir.path(), {c.argument});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, Announcement(c.input, c.output) + OpenError(c.input));
}

const std::string kLongName(300, 'n');

INSTANTIATE_TEST_SUITE_P(
    Table, FileNamesTest,
    testing::Values(NameCase{"image.hdr", "image.hdr", "image.tif"},
                    NameCase{"image", "image.hdr", "image.tif"},
                    NameCase{"image.pic", "image.hdr", "image.tif"},
                    NameCase{"image.rgbe", "image.rgbe.hdr", "image.rgbe.tif"},
                    NameCase{"photo.", "photo.hdr", "photo.tif"},
                    NameCase{"a.b\\c", "a.b\\c.hdr", "a.b\\c.tif"},
                    NameCase{"a.b/c", "a.b/c.hdr", "a.b/c.tif"},
                    NameCase{"dir.x/pic.hdr", "dir.x/pic.hdr", "dir.x/pic.tif"},
                    NameCase{".hdr", ".hdr", ".tif"},
                    NameCase{kLongName + ".hdr", kLongName + ".hdr", kLongName + ".tif"}),
    [](const testing::TestParamInfo<NameCase>& info) {
      return std::to_string(info.index) + "_" + Printable(info.param.argument);
    });

TEST(FileNamesTest, DotInFolderNameDoesNotRedirectOutput) {
  TempDir dir;
  MakeFolder(dir / "a.b");
  WriteFile(dir / "a.b/c.hdr", MakeHdr("-Y 1 +X 2\n", {Bytes(8, 128)}, Encoding::kFlat));
  RunResult run = RunCorvalin(dir.path(), {"a.b/c"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(FileExists(dir / "a.b/c.tif"));
  EXPECT_FALSE(FileExists(dir / "a.tif"));
}

TEST(FileNamesTest, ArgumentIsReadWhenTheDerivedNameCannotBe) {
  // Pictures told apart by their width: the derived .hdr is 2 wide, the
  // file named by the argument 3.
  const Bytes derived = MakeHdr("-Y 1 +X 2\n", {Bytes(8, 128)}, Encoding::kFlat);
  const Bytes named = MakeHdr("-Y 1 +X 3\n", {Bytes(12, 128)}, Encoding::kFlat);
  struct Case {
    std::string argument;
    std::vector<std::string> files;    // made with the argument's picture, "dir/" a folder
    std::vector<std::string> derived;  // made with the derived picture
    std::string read, written;         // names announced; read empty: cannot be opened
  } cases[] = {
      {"shot.pic", {"shot.pic"}, {}, "shot.pic", "shot.tif"},
#ifdef _WIN32
      {"IMG.HDR", {"IMG.HDR"}, {}, "IMG.hdr", "IMG.tif"},  // names that differ in case only are one
#else
      {"IMG.HDR", {"IMG.HDR"}, {}, "IMG.HDR", "IMG.tif"},
#endif
      {"shot.rgbe", {"shot.rgbe"}, {}, "shot.rgbe", "shot.rgbe.tif"},
      {"shot", {"shot"}, {}, "shot", "shot.tif"},
      {"img.pic", {"img.pic"}, {"img.hdr"}, "img.hdr", "img.tif"},  // the derived name wins
      {"x.pic", {"x.pic/"}, {}, "", "x.tif"},                        // a folder is no fallback
      {"none.pic", {}, {}, "", "none.tif"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const std::string& f : c.files) {
      if (f.back() == '/') MakeFolder(dir / f);
      else WriteFile(dir / f, named);
    }
    for (const std::string& f : c.derived) WriteFile(dir / f, derived);
    RunResult run = RunCorvalin(dir.path(), {c.argument});
    const std::string derivedName = NamesFromArgument(c.argument).input;
    if (c.read.empty()) {
      EXPECT_EQ(run.status, 1) << c.argument;
      EXPECT_EQ(run.output, Announcement(derivedName, c.written) + OpenError(derivedName)) << c.argument;
      EXPECT_FALSE(FileExists(dir / c.written)) << c.argument;
      continue;
    }
    EXPECT_EQ(run.status, 0) << c.argument << "\n" << run.output;
    const std::string width = c.derived.empty() ? "3" : "2";
    EXPECT_EQ(run.output.substr(0, Announcement(c.read, c.written).size() + 15),
              Announcement(c.read, c.written) + "X-Resolution: " + width)
        << c.argument;
    EXPECT_TRUE(FileExists(dir / c.written)) << c.argument;
  }
}

#ifndef _WIN32
TEST(FileNamesTest, ArgumentThatIsALinkIsFollowed) {
  TempDir dir;
  WriteFile(dir / "data", MakeHdr("-Y 1 +X 3\n", {Bytes(12, 128)}, Encoding::kFlat));
  ASSERT_EQ(symlink("data", (dir / "shot.pic").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "gone.pic").c_str()), 0);
  RunResult run = RunCorvalin(dir.path(), {"shot.pic"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.substr(0, Announcement("shot.pic", "shot.tif").size()), Announcement("shot.pic", "shot.tif"));
  EXPECT_TRUE(FileExists(dir / "shot.tif"));
  run = RunCorvalin(dir.path(), {"gone.pic"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, Announcement("gone.hdr", "gone.tif") + OpenError("gone.hdr"));
}
#endif

// Header bytes and the stdout expected after the announcement.
struct HeaderCase {
  const char* name;
  std::string file;
  std::string output;
  int status;
};

class HeaderOutputTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderOutputTest, PrintsExactly) {
  const HeaderCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "p.hdr", Text(c.file));
  RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.output, Announcement("p.hdr", "p.tif") + c.output);
}

// Sizes, then the rest of a run whose pixel data is missing altogether: a
// TIFF is written, but the status says the picture was not whole.
std::string SizesThenEmpty(int w, int h) { return Sizes(w, h) + kReading + kEndedEarly + kProcessed + kFinished; }

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderOutputTest,
    testing::Values(
        HeaderCase{"Plain", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 3 +X 2\n", SizesThenEmpty(2, 3), 1},
        HeaderCase{"ForeignFirstLine", "#?OTHERPROGRAM\n\n-Y 3 +X 2\n", kNoHeader + SizesThenEmpty(2, 3), 1},
        HeaderCase{"NoIdentifyingLine", "FORMAT=32-bit_rle_rgbe\n\n-Y 3 +X 2\n", kNoHeader + SizesThenEmpty(2, 3), 1},
        HeaderCase{"FirstLineEmpty", "\n-Y 3 +X 2\n", kNoHeader + SizesThenEmpty(2, 3), 1},
        // 99 and 198 characters: the long line must not end the header early.
        HeaderCase{"LongLines", "#?RADIANCE\n" + std::string(99, 'a') + "\n" + std::string(198, 'b') +
                                    "\n" + std::string(5000, 'c') + "\n\n+X 5 -Y 4\n",
                   SizesThenEmpty(5, 4), 1},
        // CR LF lines never equal "\n": the header runs to the end of the file.
        HeaderCase{"CrLf", "#?RADIANCE\r\nFORMAT=32-bit_rle_rgbe\r\n\r\n-Y 3 +X 2\r\n", kNoHeader + kNoResolution, 1},
        HeaderCase{"CrLfThenBareLineFeed", "#?RADIANCE\r\nA=1\r\n\r\n\n-Y 3 +X 2\r\n", kNoHeader + SizesThenEmpty(2, 3), 1},
        HeaderCase{"HeaderRunsToEnd", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n", kNoResolution, 1},
        HeaderCase{"EmptyFile", "", kNoHeader + kNoResolution, 1},
        HeaderCase{"OneNumber", "#?RADIANCE\n\n-Y 480\n", kNoResolution, 1},
        HeaderCase{"NoAxes", "#?RADIANCE\n\n480 640\n", kNoResolution, 1},
        HeaderCase{"WidthOverflows", "#?RADIANCE\n\n-Y 480 +X 2147483648\n", kNoResolution, 1},
        HeaderCase{"HeightOverflows", "#?RADIANCE\n\n-Y 99999999999 +X 4\n", kNoResolution, 1},
        HeaderCase{"NoLineAfterHeader", "#?RADIANCE\n\n", kNoResolution, 1}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return info.param.name; });

TEST(FileNamesTest, FolderAtTheInputNameCannotBeOpened) {
  TempDir dir;
  MakeFolder(dir / "x.hdr");
  for (const char* argument : {"x.hdr", "x"}) {
    RunResult run = RunCorvalin(dir.path(), {argument});
    EXPECT_EQ(run.status, 1) << argument;
    EXPECT_EQ(run.output, Announcement("x.hdr", "x.tif") + OpenError("x.hdr")) << argument;
  }
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"x.hdr"});
}

struct OrientationCase {
  const char* line;
  bool xMajor, reverseScanlines, reversePixels;
};

TEST(ParseResolutionTest, AllEightOrientations) {
  // A 640 x 480 picture in every form; the scanline length is the second number.
  const OrientationCase cases[] = {
      {"-Y 480 +X 640", false, false, false}, {"-Y 480 -X 640", false, false, true},
      {"+Y 480 +X 640", false, true, false},  {"+Y 480 -X 640", false, true, true},
      {"+X 640 -Y 480", true, false, false},  {"-X 640 -Y 480", true, true, false},
      {"+X 640 +Y 480", true, false, true},   {"-X 640 +Y 480", true, true, true},
  };
  for (const OrientationCase& c : cases) {
    Resolution r;
    ASSERT_TRUE(ParseResolution(c.line, &r)) << c.line;
    EXPECT_EQ(r.width, 640) << c.line;
    EXPECT_EQ(r.height, 480) << c.line;
    EXPECT_EQ(r.xMajor, c.xMajor) << c.line;
    EXPECT_EQ(r.reverseScanlines, c.reverseScanlines) << c.line;
    EXPECT_EQ(r.reversePixels, c.reversePixels) << c.line;
    EXPECT_EQ(r.ScanlineLength(), c.xMajor ? 480 : 640) << c.line;

    TempDir dir;
    WriteFile(dir / "o.hdr", Text(std::string("#?RADIANCE\n\n") + c.line + "\n"));
    RunResult run = RunCorvalin(dir.path(), {"o"});
    EXPECT_EQ(run.output, Announcement("o.hdr", "o.tif") + SizesThenEmpty(640, 480)) << c.line;
  }
}

TEST(ParseResolutionTest, ScansLikeScanf) {
  Resolution r;
  EXPECT_TRUE(ParseResolution("-Y480+X640", &r));  // white space is optional
  EXPECT_EQ(r.width, 640);
  EXPECT_TRUE(ParseResolution("-Y  -12 \t+X +7 trailing", &r));
  EXPECT_EQ(r.height, -12);
  EXPECT_EQ(r.width, 7);
  EXPECT_TRUE(ParseResolution("*Y 1 ?X 2", &r));  // any sign characters
  EXPECT_TRUE(ParseResolution("-Y 2147483647 +X -2147483648", &r));
  EXPECT_EQ(r.height, 2147483647);
  EXPECT_EQ(r.width, -2147483647 - 1);
  EXPECT_FALSE(ParseResolution("-Y 1 +X -2147483649", &r));
  EXPECT_FALSE(ParseResolution(" -Y 1 +X 2", &r));  // %c takes the space
  EXPECT_FALSE(ParseResolution("-Y 1 +X", &r));
  EXPECT_FALSE(ParseResolution("-Y 1 +Z 2", &r));
  EXPECT_FALSE(ParseResolution("", &r));
}

// An input that never ends: prefix, then pattern over and over.
class EndlessSource : public ByteSource {
 public:
  EndlessSource(const std::string& prefix, const std::string& pattern) : text_(prefix), pattern_(pattern) {}
  int64_t Read(void* buffer, size_t size) override {
    while (text_.size() < size) text_ += pattern_;
    std::memcpy(buffer, text_.data(), size);
    text_.erase(0, size);
    given_ += size;
    return static_cast<int64_t>(size);
  }
  uint64_t given() const { return given_; }

 private:
  std::string text_, pattern_;
  uint64_t given_ = 0;
};

TEST(ReadHeaderTest, EndlessInputIsNoHeader) {
  // /dev/zero, a pipe that never closes: the header reader gives up within
  // its bound (16 MiB) instead of reading forever.
  struct Case {
    const char* what;
    std::string prefix, pattern;
  } cases[] = {
      {"zeros, never a line feed", "", std::string(1, '\0')},
      {"lines, never an empty one", "#?RADIANCE\n", "FORMAT=32-bit_rle_rgbe\n"},
      {"a resolution line that never ends", "#?RADIANCE\n\n-Y 1 +X 2", " "},
  };
  for (const Case& c : cases) {
    EndlessSource source(c.prefix, c.pattern);
    InputStream in(source, 4096);
    const HeaderInfo h = ReadHeader(in);
    EXPECT_FALSE(h.resolutionValid) << c.what;
    EXPECT_LE(source.given(), (16u << 20) + 4096) << c.what;
  }
}

TEST(ReadHeaderTest, LeavesInputAtPixelData) {
  const std::string text = "#?RADIANCE\r\nA=1\r\n\n-Y 1 +X 2\nPIXELS";
  InputStream in(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  HeaderInfo h = ReadHeader(in);
  EXPECT_FALSE(h.identified);
  ASSERT_TRUE(h.resolutionValid);
  EXPECT_EQ(in.Get(), 'P');
}

}  // namespace
