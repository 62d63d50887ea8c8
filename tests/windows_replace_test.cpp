// Whole or nothing on Windows: a TIFF that cannot be replaced (marked
// read-only, held open by a viewer) is left as it was, and a conversion
// ended from outside leaves nothing behind.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

const Bytes kOld = {'o', 'l', 'd', ' ', 't', 'i', 'f'};
const std::string kWriteError = text::kProcessed + text::kWriteError;

std::wstring Wide(const std::string& s) { return std::filesystem::u8path(s).wstring(); }

// A file held open by another program, the way a viewer may hold it.
HANDLE Hold(const std::string& path, DWORD share) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(WindowsReplaceTest, TiffThatCannotBeReplacedIsLeftAsItWas) {
  const Bytes hdr = MakeHdr(ResolutionLine(16, 3), Rows(GradientPicture(16, 3), 16), Encoding::kRunLength);
  struct Case {
    const char* what;
    std::function<HANDLE(const std::string&)> arrange;  // what it returns is closed afterwards
  } cases[] = {
      {"read-only attribute",
       [](const std::string& tif) {
         SetFileAttributesW(Wide(tif).c_str(), FILE_ATTRIBUTE_READONLY);
         return INVALID_HANDLE_VALUE;
       }},
      {"held open, not shared", [](const std::string& tif) { return Hold(tif, 0); }},
      {"held open, shared for reading", [](const std::string& tif) { return Hold(tif, FILE_SHARE_READ); }},
      // Writers are let in, but not a rename or delete: found only at the end.
      {"held open, shared for reading and writing",
       [](const std::string& tif) { return Hold(tif, FILE_SHARE_READ | FILE_SHARE_WRITE); }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "p.hdr", hdr);
    WriteFile(dir / "p.tif", kOld);
    const HANDLE held = c.arrange(dir / "p.tif");
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    SetFileAttributesW(Wide(dir / "p.tif").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(run.status, 1) << c.what << "\n" << run.output;
    EXPECT_TRUE(EndsWith(run.output, kWriteError)) << c.what << "\n" << run.output;
    EXPECT_EQ(Contents(dir / "p.tif"), kOld) << c.what;
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"})) << c.what;
  }
}

// The TIFF of hdr converted in a folder of its own.
Bytes Converted(const Bytes& hdr) {
  TempDir dir;
  WriteFile(dir / "p.hdr", hdr);
  EXPECT_EQ(RunCorvalin(dir.path(), {"p.hdr"}).status, 0);
  return Contents(dir / "p.tif");
}

TEST(WindowsReplaceTest, LinkAtTheOutputNameStaysAndItsFileIsReplaced) {
  const Bytes hdr = MakeHdr(ResolutionLine(16, 3), Rows(GradientPicture(16, 3), 16), Encoding::kRunLength);
  TempDir dir;
  MakeFolder(dir / "sub");
  WriteFile(dir / "sub/real.tif", kOld);
  WriteFile(dir / "p.hdr", hdr);
  CreateSymbolicLinkW(Wide(dir / "p.tif").c_str(), L"sub\\real.tif", 0);
  const DWORD attributes = GetFileAttributesW(Wide(dir / "p.tif").c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    GTEST_SKIP() << "no symbolic link can be made here (Windows asks a privilege, Wine makes none); "
                    "tests/wine_cases.sh converts over a link that Linux made";
  const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(GetFileAttributesW(Wide(dir / "p.tif").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) << "the link is gone";
  EXPECT_EQ(Contents(dir / "sub/real.tif"), Converted(hdr));
  EXPECT_EQ(FilesIn(dir / "sub"), std::vector<std::string>{"real.tif"});
}

TEST(WindowsReplaceTest, TerminatedConversionLeavesNothing) {
  // One colour: a small run-length file whose TIFF (400 MB) takes a while.
  const int w = 8192, h = 4096;
  const Bytes row = EncodeScanline([&] {
    Bytes b;
    for (int x = 0; x < w; ++x) b.insert(b.end(), {90, 100, 110, 129});
    return b;
  }(), Encoding::kRunLength);
  Bytes hdr = MakeHdr(ResolutionLine(w, h), {}, Encoding::kRunLength);
  for (int y = 0; y < h; ++y) hdr.insert(hdr.end(), row.begin(), row.end());
  TempDir dir;
  WriteFile(dir / "p.hdr", hdr);
  WriteFile(dir / "p.tif", kOld);
  Child child(dir.path(), {"p.hdr"});
  bool seen = false;
  for (int tries = 0; tries < 2000 && !seen; ++tries) {
    for (const std::string& name : FilesIn(dir.path())) seen = seen || name.rfind(".p.tif.", 0) == 0;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(seen) << "no temporary TIFF appeared";
  child.Kill();
  child.Wait();
  EXPECT_EQ(Contents(dir / "p.tif"), kOld);
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"}));
}

}  // namespace
