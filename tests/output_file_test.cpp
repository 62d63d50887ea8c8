// Why a TIFF could not be written, as the system said it: the cause each
// failure carries to the driver, which chooses by it where the file goes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "driver/output_file.h"
#include "support.h"

namespace {

// Writes bytes zeros to name through an OutputFile, then commits it: the
// first failure.
Status WriteZeros(const std::string& name, size_t bytes) {
  OutputFile file;
  Status s = file.Start(name, 0);
  const std::vector<char> zeros(bytes);
  if (s.ok()) s = file.WriteAt(zeros.data(), zeros.size(), 0);
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
         return WriteZeros(dir / "x.tif", 1);
       },
       EISDIR, false, false},
      {"a full disk",
       [](const TempDir& dir) {
         SmallFileSystem small(dir / "small", "size=256k");
         if (!small.mounted()) return Status{Result::kOk, -1};
         return WriteZeros(dir / "small/x.tif", 1 << 20);
       },
       ENOSPC, false, false},
      {"a folder that takes no new file (immutable)",
       [](const TempDir& dir) {
         MakeFolder(dir / "fixed");
         if (std::system(("chattr +i '" + dir / "fixed" + "' 2>/dev/null").c_str()) != 0)
           return Status{Result::kOk, -1};
         const Status s = WriteZeros(dir / "fixed/x.tif", 1);
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

}  // namespace
