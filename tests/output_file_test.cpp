// Why a TIFF could not be written, as the system said it: the cause each
// failure carries to the driver, which chooses by it where the file goes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "driver/output_file.h"
#include "support.h"

namespace {

// Writes bytes bytes (not zeros, which would be left a hole) to name
// through an OutputFile, then commits it: the first failure.
Status WriteBytes(const std::string& name, size_t bytes) {
  OutputFile file;
  Status s = file.Start(name, 0);
  const std::vector<char> data(bytes, 'x');
  if (s.ok()) s = file.WriteAt(data.data(), data.size(), 0);
  return s.ok() ? file.Commit() : s;
}

TEST(OutputFileTest, FailuresCarryTheirCause) {
  struct Case {
    const char* what;
    std::function<Status(const TempDir&)> run;
    int error;
    bool taken, refused;
  };
  const Case cases[] = {
      {"a name taken",
       [](const TempDir& dir) {
         WriteFile(dir / "x", Bytes{1});
         platform::OutputHandle file;
         return file.CreateNamed(dir / "x");
       },
       EEXIST, true, false},
      {"a folder at the name",
       [](const TempDir& dir) {
         MakeFolder(dir / "x.tif");
         return WriteBytes(dir / "x.tif", 1);
       },
       EISDIR, false, false},
      {"a full disk",
       [](const TempDir& dir) {
         SmallFileSystem small(dir / "small", "size=256k");
         if (!small.mounted()) return Status{Result::kOk, -1};
         return WriteBytes(dir / "small/x.tif", 1 << 20);
       },
       ENOSPC, false, false},
      {"a folder that takes no new file (immutable)",
       [](const TempDir& dir) {
         MakeFolder(dir / "fixed");
         if (std::system(("chattr +i '" + dir / "fixed" + "' 2>/dev/null").c_str()) != 0)
           return Status{Result::kOk, -1};
         const Status s = WriteBytes(dir / "fixed/x.tif", 1);
         (void)!std::system(("chattr -i '" + dir / "fixed" + "'").c_str());
         return s;
       },
       EPERM, false, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const Status s = c.run(dir);
    if (s.osError == -1) {
      std::printf("skipped: %s (not possible here: no mount, or chattr)\n", c.what);
      continue;
    }
    EXPECT_EQ(s.result, Result::kWriteFailed) << c.what;
    EXPECT_EQ(s.osError, c.error) << c.what << ": " << std::strerror(s.osError);
    EXPECT_EQ(platform::NameTaken(s), c.taken) << c.what;
    EXPECT_EQ(platform::Refused(s), c.refused) << c.what;
    EXPECT_EQ(FilesIn(dir.path()).size(), 1u) << c.what << ": nothing is left beside what was there";
  }
}

TEST(OutputFileTest, BlocksOfZerosInANewFileAreLeftHoles) {
  // Pieces of a 64 KiB file, written in order at any offset; each piece is
  // zeros but for the bytes listed. Blocks (4 KiB) with no such byte take
  // no disk, and the file reads back exactly, its end too.
  constexpr size_t kFile = 64 << 10, kBlock = 4096;
  struct Piece {
    size_t offset, size;
    std::vector<size_t> marked;  // offsets in the file of its bytes that are not zero
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    size_t blocksWithData;
  };
  const Case cases[] = {
      {"all zeros, in one piece", {{0, kFile, {}}}, 0},
      {"a byte at each end", {{0, kFile, {0, kFile - 1}}}, 2},
      {"pieces not on blocks, data across a boundary",
       {{0, 5000, {4095, 4096}}, {5000, 30000, {}}, {35000, kFile - 35000, {40000}}},
       3},
      {"only the last byte", {{0, kFile - 10, {}}, {kFile - 10, 10, {kFile - 1}}}, 1},
      {"a zero piece within a block of data", {{0, 100, {0}}, {100, 100, {}}, {200, kFile - 200, {300}}}, 1},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Bytes want(kFile, 0);
    OutputFile file;
    ASSERT_TRUE(file.Start(dir / "x.tif", kFile).ok());
    for (const Piece& p : c.pieces) {
      for (size_t at : p.marked) want[at] = static_cast<uint8_t>(1 + at % 251);
      ASSERT_TRUE(file.WriteAt(want.data() + p.offset, p.size, p.offset).ok()) << c.what;
    }
    ASSERT_TRUE(file.Commit().ok()) << c.what;
    EXPECT_EQ(Contents(dir / "x.tif"), want) << c.what;
    struct stat st;
    ASSERT_EQ(stat((dir / "x.tif").c_str(), &st), 0);
    // Some file systems (tmpfs) count a page for the last partial write.
    EXPECT_LE(static_cast<size_t>(st.st_blocks) * 512, c.blocksWithData * kBlock) << c.what;
  }
}

}  // namespace
