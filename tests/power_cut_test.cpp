// A power cut, made on an ext4 file system in a file (mounted through a loop
// device, with its default options): the file's bytes, copied at a moment,
// are what the disk held then, and mounting the copy replays its journal as
// a boot after the cut would. A TIFF the program called finished must be
// there whole once the journal has committed (every 5 s), never empty; at
// any moment before, the old TIFF stays (a new name has none).
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support.h"

namespace {

// Runs a shell command quietly; whether it succeeded.
bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A file system in the file image, mounted at at through a loop device for
// the object's life, once the shell command prepare has made the file.
class LoopMount {
 public:
  LoopMount(const std::string& prepare, const std::string& image, const std::string& at) : at_(at) {
    MakeFolder(at);
    mounted_ = Shell(prepare + " && mount -o loop '" + image + "' '" + at + "'");
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  ~LoopMount() {
    if (mounted_) Shell("umount '" + at_ + "'");
  }
  bool mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_ = false;
};

// A new, empty 300 MiB ext4 file system in image, with its default options.
LoopMount Ext4(const std::string& image, const std::string& at) {
  return LoopMount("truncate -s 300M '" + image + "' && mkfs.ext4 -q -F '" + image + "'", image, at);
}

// The disk as a power cut now would leave it: image copied to copy, and
// the copy mounted (its journal replayed).
LoopMount CutNow(const std::string& image, const std::string& copy, const std::string& at) {
  return LoopMount("cp --sparse=always '" + image + "' '" + copy + "'", copy, at);
}

// How many transactions the journal of the file system mounted at `at`
// has committed, or -1 when that cannot be told.
long Commits(const std::string& at) {
  std::ifstream mounts("/proc/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest)) {
    if (point != at || device.rfind("/dev/", 0) != 0) continue;
    std::ifstream info("/proc/fs/jbd2/" + device.substr(5) + "-8/info");
    long count = -1;
    return info >> count ? count : -1;
  }
  return -1;
}

// Why the case cannot be made here, or empty.
std::string WhyNoPowerCut(const TempDir& dir) {
  if (geteuid() != 0) return "mounting a file system needs root";
  if (!Shell("command -v mkfs.ext4 && command -v losetup")) return "mkfs.ext4 or losetup is missing (e2fsprogs, mount)";
  const LoopMount probe = Ext4(dir / "probe.img", dir / "probe");
  return probe.mounted() ? "" : "no loop device could be mounted here (a container without them?)";
}

TEST(PowerCutTest, FinishedTiffIsWholeAndEarlierTheOldOneStays) {
  TempDir dir;
  const std::string why = WhyNoPowerCut(dir);
  if (!why.empty()) GTEST_SKIP() << why;
  const Bytes hdr = GradientHdr(2048, 1024);
  WriteFile(dir / "p.hdr", hdr);
  ASSERT_EQ(RunCorvalin(dir.path(), {"p.hdr"}).status, 0);
  const Bytes want = Contents(dir / "p.tif");
  const Bytes old(want.size() / 2, 'o');  // an old TIFF, on the disk before the run
  for (int trial = 0; trial < 3; ++trial) {
    const std::string t = std::to_string(trial);
    const LoopMount disk = Ext4(dir / ("disk" + t), dir / ("mnt" + t));
    ASSERT_TRUE(disk.mounted());
    const std::string mnt = dir / ("mnt" + t);
    WriteFile(mnt + "/new.hdr", hdr);
    WriteFile(mnt + "/over.hdr", hdr);
    WriteFile(mnt + "/over.tif", old);
    // All on the disk, and the journal just committed: the next commit is
    // 5 s after the runs begin, unless something else syncs meanwhile.
    sync();
    const long before = Commits(mnt);
    for (const char* name : {"new.hdr", "over.hdr"}) {
      const RunResult run = RunCorvalin(mnt, {name});
      ASSERT_EQ(run.status, 0) << name << "\n" << run.output;
    }
    {
      const LoopMount atOnce = CutNow(dir / ("disk" + t), dir / ("now" + t), dir / ("now" + t + "m"));
      ASSERT_TRUE(atOnce.mounted());
      const std::string m = dir / ("now" + t + "m");
      const Bytes created = FileExists(m + "/new.tif") ? Contents(m + "/new.tif") : Bytes{};
      const Bytes replaced = Contents(m + "/over.tif");
      if (before >= 0 && Commits(mnt) == before) {
        EXPECT_TRUE(created.empty()) << "trial " << t << ": a new TIFF of " << created.size() << " bytes before the journal committed";
        EXPECT_EQ(replaced, old) << "trial " << t << ": the old TIFF must stay until the journal commits";
      } else {  // committed already (the machine is busy, or another program synced): whole, or as before
        std::printf("trial %s: the journal committed before the copy; whole or old is checked\n", t.c_str());
        EXPECT_TRUE(created.empty() || created == want) << "trial " << t << ": new.tif has " << created.size() << " bytes";
        EXPECT_TRUE(replaced == old || replaced == want) << "trial " << t << ": over.tif has " << replaced.size() << " bytes";
      }
    }
    sleep(8);  // after the journal's commit, before the writeback (30 s)
    const LoopMount later = CutNow(dir / ("disk" + t), dir / ("later" + t), dir / ("later" + t + "m"));
    ASSERT_TRUE(later.mounted());
    const std::string m = dir / ("later" + t + "m");
    for (const char* name : {"/new.tif", "/over.tif"}) {
      const Bytes tif = Contents(m + name);
      EXPECT_TRUE(tif == want) << "trial " << t << ": " << name << " has " << tif.size() << " bytes";
    }
  }
}

}  // namespace
