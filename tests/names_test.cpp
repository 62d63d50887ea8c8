// File names as people type them: any script, any length, absolute or
// relative, with the separators of the system; on Windows also drive
// letters and the \\?\ form. The names are printed as given, in UTF-8.
#include <algorithm>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

#ifdef _WIN32
const std::string kSeparator = "\\";
#else
const std::string kSeparator = "/";
#endif

const Bytes& Picture() {
  static const Bytes picture = GradientHdr(12, 5, Encoding::kRunLength, 7);
  return picture;
}

std::string Finished(const std::string& input, const std::string& output) {
  return Announcement(input, output) + Sizes(12, 5) + text::kReading + text::kProcessed + text::kFinished;
}

// The TIFF of Picture(), made under a plain name.
const Bytes& Reference() {
  static const Bytes tif = [] {
    TempDir dir;
    WriteFile(dir / "p.hdr", Picture());
    EXPECT_EQ(RunCorvalin(dir.path(), {"p.hdr"}).status, 0);
    Bytes b;
    EXPECT_TRUE(ReadFile(dir / "p.tif", &b));
    return b;
  }();
  return tif;
}

TEST(NamesTest, AnyNameConvertsAndIsPrintedAsGiven) {
  TempDir dir;
  const std::string deep = [] {
    std::string path;  // six folders of 50 characters: past 260 in all
    for (int k = 0; k < 6; ++k) path += std::string(49, static_cast<char>('a' + k)) + "é" + kSeparator;
    return path;
  }();
  std::string folder = dir.path();
  for (size_t at = 0, next; (next = deep.find(kSeparator, at)) != std::string::npos; at = next + 1) {
    folder += "/" + deep.substr(at, next - at);
    MakeFolder(folder);
  }
  MakeFolder(dir / "pics");
  MakeFolder(dir / "work");
  MakeFolder(dir / "long");
  // Names near the 255-unit limit, whose TIFF's temporary name must be
  // shortened at a whole character: 199 + 2 UTF-16 units (207 UTF-8 bytes),
  // and 62 emoji, 124 units but 248 bytes (a Linux file system under Wine).
  const std::string longLatin = std::string(199, 'a') + "😀.hdr";
  std::string emoji;
  for (int k = 0; k < 62; ++k) emoji += "😀";
  emoji += ".hdr";
  struct Case {
    const char* what;
    std::string cwd;       // where the program runs, under dir
    std::string argument;  // what is typed
    std::string file;      // the picture's place, under dir
  } cases[] = {
      {"accents and CJK", "", "Café 日本.hdr", "Café 日本.hdr"},
      {"emoji, outside the BMP", "", "sky 🌅.hdr", "sky 🌅.hdr"},
      {"spaces, quote and ampersand", "", "a 'b' & c.hdr", "a 'b' & c.hdr"},
      {"relative, past 260 characters", "", deep + "p.hdr", deep + "p.hdr"},
      {"from the parent folder", "work", ".." + kSeparator + "pics" + kSeparator + "p.hdr", "pics/p.hdr"},
      {"absolute", "work", dir.path() + kSeparator + "pics" + kSeparator + "q.hdr", "pics/q.hdr"},
      {"199 letters and an emoji", "long", longLatin, "long/" + longLatin},
      {"62 emoji", "long", emoji, "long/" + emoji},
#ifdef _WIN32
      {"the \\\\.\\ form, a file through the device namespace", "", "\\\\.\\" + dir.path() + "\\pics\\u.hdr",
       "pics/u.hdr"},
      {"forward slashes", "", "pics/r.hdr", "pics/r.hdr"},
      {"the \\\\?\\ form", "", "\\\\?\\" + dir.path() + "\\pics\\s.hdr", "pics/s.hdr"},
      {"absolute, past 260 characters", "", dir.path() + "\\" + deep + "t.hdr", deep + "t.hdr"},
#endif
  };
  for (const Case& c : cases) {
    std::string file = dir.path() + "/" + c.file;
    WriteFile(file, Picture());
    const std::string stem = c.argument.substr(0, c.argument.size() - 4);
    const RunResult run = RunCorvalin(c.cwd.empty() ? dir.path() : dir / c.cwd, {c.argument});
    EXPECT_EQ(run.status, 0) << c.what << "\n" << run.output;
    EXPECT_EQ(run.output, Finished(stem + ".hdr", stem + ".tif")) << c.what;
    Bytes tif;
    ASSERT_TRUE(ReadFile(file.substr(0, file.size() - 4) + ".tif", &tif)) << c.what;
    EXPECT_EQ(tif, Reference()) << c.what;
  }
  // Nothing but the pictures and their TIFFs, under their own names.
  std::vector<std::string> pics = {"p.hdr", "p.tif", "q.hdr", "q.tif"};
#ifdef _WIN32
  pics.insert(pics.end(), {"r.hdr", "r.tif", "s.hdr", "s.tif", "u.hdr", "u.tif"});
#endif
  EXPECT_EQ(FilesIn(dir / "pics"), pics);
  std::vector<std::string> top = {"a 'b' & c.hdr", "a 'b' & c.tif", "Café 日本.hdr", "Café 日本.tif",
                                  std::string(49, 'a') + "é", "long", "pics", "sky 🌅.hdr", "sky 🌅.tif", "work"};
  std::sort(top.begin(), top.end());
  EXPECT_EQ(FilesIn(dir.path()), top);
  std::vector<std::string> longNames = {longLatin, longLatin.substr(0, longLatin.size() - 4) + ".tif", emoji,
                                        emoji.substr(0, emoji.size() - 4) + ".tif"};
  std::sort(longNames.begin(), longNames.end());
  EXPECT_EQ(FilesIn(dir / "long"), longNames);
}

}  // namespace
