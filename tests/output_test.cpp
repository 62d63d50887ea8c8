// Whole or nothing: a TIFF appears at its name only when a conversion
// finished; whatever ends a run before that (corrupt input, a full disk, a
// signal) leaves an existing file there as it was and nothing new beside it.
// Links, permission bits, FIFOs and folders that take no new file, all run
// as the real program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "messages.h"
#include "support.h"

namespace {

const Bytes kOld = {'o', 'l', 'd', ' ', 't', 'i', 'f'};
using namespace text;

Bytes Picture(int w, int h) { return GradientHdr(w, h); }

// The TIFF a plain conversion of hdr makes.
Bytes Converted(const Bytes& hdr) {
  TempDir dir;
  WriteFile(dir / "p.hdr", hdr);
  EXPECT_EQ(RunCorvalin(dir.path(), {"p.hdr"}).status, 0);
  return Contents(dir / "p.tif");
}

// Whether the program writes its TIFF in folder as a file without a name
// until the end: built to, on a file system that can (ext4 and tmpfs can).
bool TemporaryFilesHaveNoName(const std::string& folder) {
#ifdef CORVALIN_HAVE_O_TMPFILE
  const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  close(fd);
  return access("/proc/self/fd", F_OK) == 0;
#else
  (void)folder;
  return false;
#endif
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(WholeOrNothingTest, FailuresLeaveTheOldTiffAndNothingElse) {
  // 1024 pixels a row: a band is 85 rows, so a 200-row picture is written
  // in three bands, and a corrupt row 150 comes after the first is written.
  const int w = 1024, h = 200;
  std::vector<Bytes> rows = Rows(GradientPicture(w, h), w);
  std::vector<Bytes> corruptRows = rows;
  corruptRows.resize(150);
  Bytes corrupt = MakeHdr(ResolutionLine(w, h), corruptRows, Encoding::kRunLength);
  const Bytes wrongLength = EncodeScanline(Bytes(4 * 17, 128), Encoding::kRunLength);
  corrupt.insert(corrupt.end(), wrongLength.begin(), wrongLength.end());

  RunOptions diskFull;  // the disk fills 100 kB into the TIFF
  diskFull.fileSizeLimit = 100000;
  RunOptions asNobody;  // as root, permissions would not count
  asNobody.asNobody = true;
  struct Case {
    const char* what;
    Bytes hdr;
    RunOptions options;
    mode_t tiffMode;
    std::string ending;
  } cases[] = {
      {"corrupt scanline", corrupt, RunOptions(), 0644, kCorrupt},
      {"disk full", Picture(w, h), diskFull, 0644, kProcessed + kWriteError},
      // The first band fails to go out; decoding goes on and finds the
      // corrupt row, which is what is reported.
      {"corrupt scanline after the disk filled", corrupt, diskFull, 0644, kCorrupt},
      {"existing TIFF not writable", Picture(w, h), asNobody, 0444, kProcessed + kWriteError},
  };
  std::string why, skipped;
  const bool othersCanRun = OthersCanRunTheProgram(&why);
  for (const Case& c : cases) {
    if (c.options.asNobody && !othersCanRun) {
      skipped += std::string(skipped.empty() ? "" : ", ") + "\"" + c.what + "\"";
      continue;
    }
    TempDir dir;
    chmod(dir.path().c_str(), 0777);  // for a run as another user
    WriteFile(dir / "p.hdr", c.hdr);
    WriteFile(dir / "p.tif", kOld);
    chmod((dir / "p.tif").c_str(), c.tiffMode);
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"}, c.options);
    EXPECT_EQ(run.status, 1) << c.what << "\n" << run.output;
    EXPECT_TRUE(EndsWith(run.output, c.ending)) << c.what << "\n" << run.output;
    EXPECT_EQ(Contents(dir / "p.tif"), kOld) << c.what;
    EXPECT_EQ(ModeOf(dir / "p.tif") & 07777, c.tiffMode) << c.what;
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"})) << c.what;
  }
  // The other cases ran, and a failure among them counts; the test shows
  // as skipped for the cases that could not.
  if (!skipped.empty()) GTEST_SKIP() << "skipped " << skipped << ": " << why;
}

TEST(WholeOrNothingTest, FullFileSystemLeavesTheOldTiff) {
  // One colour compresses to almost nothing; its TIFF (2.4 MB) does not fit
  // in 256 KiB, which is known before a pixel is read. With room for no
  // more files (the folder, the picture and the old TIFF take the three
  // inodes), not even an empty one can be made: the old TIFF must not be
  // written over in place then either.
  const int w = 1024, h = 200;
  Bytes flat;
  for (int i = 0; i < w * h; ++i) flat.insert(flat.end(), {100, 120, 140, 130});
  const Bytes hdr = MakeHdr(ResolutionLine(w, h), Rows(flat, w), Encoding::kRunLength);
  struct Case {
    const char* options;
    std::string ending;
  } cases[] = {{"size=256k", Sizes(w, h) + kNoSpace},
               {"size=8m,nr_inodes=3", kProcessed + kWriteError}};
  for (const Case& c : cases) {
    TempDir dir;
    SmallFileSystem fs(dir / "fs", c.options);
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs Linux and root); the disk-full case "
                                       "of FailuresLeaveTheOldTiffAndNothingElse uses a file-size limit";
    WriteFile(dir / "fs/p.hdr", hdr);
    WriteFile(dir / "fs/p.tif", kOld);
    const RunResult run = RunCorvalin(dir / "fs", {"p.hdr"});
    EXPECT_EQ(run.status, 1) << c.options;
    EXPECT_TRUE(EndsWith(run.output, c.ending)) << c.options << "\n" << run.output;
    EXPECT_EQ(Contents(dir / "fs/p.tif"), kOld) << c.options;
    EXPECT_EQ(FilesIn(dir / "fs"), (std::vector<std::string>{"p.hdr", "p.tif"})) << c.options;
  }
}

// Feeds a picture to corvalin through a FIFO at the input's name, so that a
// test can act while the conversion is at a known point.
class FedConversion {
 public:
  FedConversion(const TempDir& dir, const RunOptions& options = {}) : dir_(dir) {
    signal(SIGPIPE, SIG_IGN);
    mkfifo((dir / "p.hdr").c_str(), 0644);
    child_ = std::make_unique<Child>(dir.path(), std::vector<std::string>{"p.hdr"}, options);
    // The FIFO opens once corvalin opens it; a child that never does must
    // fail the test, not hang it.
    for (int tries = 0; tries < 2000 && fifo_ < 0; ++tries) {
      fifo_ = open((dir / "p.hdr").c_str(), O_WRONLY | O_NONBLOCK);
      if (fifo_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fifo_ >= 0) fcntl(fifo_, F_SETFL, 0);
  }
  ~FedConversion() { Close(); }

  void Feed(const Bytes& bytes, size_t from, size_t to) {
    for (size_t at = from; at < to;) {
      const ssize_t n = write(fifo_, bytes.data() + at, to - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }
  // Writes pattern over and over until the reader is gone.
  void FeedForever(const std::string& pattern) {
    std::string chunk;
    while (chunk.size() < (1 << 16)) chunk += pattern;
    while (fifo_ >= 0 && write(fifo_, chunk.data(), chunk.size()) > 0) {
    }
  }
  void Close() {
    if (fifo_ >= 0) close(fifo_);
    fifo_ = -1;
  }

  // Waits (up to 20 s) until the TIFF being written, which may have no
  // name yet, holds at least bytes bytes. Where /proc shows the child's
  // open files (Linux), it is found among them, as a regular file in the
  // test's folder; elsewhere it has a name, the hidden one beside p.tif.
  bool WaitForTemporaryFile(off_t bytes) {
    const std::string fds = "/proc/" + std::to_string(child_->pid()) + "/fd/";
    const bool proc = access(fds.c_str(), F_OK) == 0;
    for (int tries = 0; tries < 2000; ++tries) {
      if (!proc) {
        for (const std::string& name : FilesIn(dir_.path())) {
          struct stat st;
          if (name.rfind(".p.tif.", 0) == 0 && stat((dir_ / name).c_str(), &st) == 0 && st.st_size >= bytes)
            return true;
        }
      }
      for (const std::string& fd : proc ? FilesIn(fds) : std::vector<std::string>()) {
        char target[4096];
        const ssize_t n = readlink((fds + fd).c_str(), target, sizeof target - 1);
        struct stat st;
        if (n > 0 && std::string(target, n).rfind(dir_.path() + "/", 0) == 0 &&
            stat((fds + fd).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= bytes)
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  Child& child() { return *child_; }

 private:
  const TempDir& dir_;
  std::unique_ptr<Child> child_;
  int fifo_ = -1;
};

TEST(WholeOrNothingTest, SignalsLeaveTheOldTiffAndNothingElse) {
  const int w = 1024, h = 400;  // 85 rows a band
  const Bytes hdr = Picture(w, h);
  const size_t header = MakeHdr(ResolutionLine(w, h), {}, Encoding::kRunLength).size();
  const off_t pixelsAt = 247, band = 85 * w * 12;
  struct Case {
    int signal;
    size_t fed;       // bytes of the picture given before the signal
    off_t written;    // bytes in the temporary file before the signal
  } cases[] = {
      {SIGTERM, header, pixelsAt},  {SIGINT, header, pixelsAt},  {SIGHUP, header, pixelsAt},
      {SIGTERM, hdr.size() / 2, pixelsAt + band}, {SIGINT, hdr.size() / 2, pixelsAt + band},
      {SIGHUP, hdr.size() / 2, pixelsAt + band},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(strsignal(c.signal)) + " after " + std::to_string(c.fed) + " bytes";
    TempDir dir;
    WriteFile(dir / "p.tif", kOld);
    FedConversion run(dir);
    run.Feed(hdr, 0, c.fed);
    ASSERT_TRUE(run.WaitForTemporaryFile(c.written)) << what << ": no temporary TIFF of that size";
    kill(run.child().pid(), c.signal);
    int signal = 0;
    run.child().Wait(&signal);
    EXPECT_EQ(signal, c.signal) << what << ": must end as the signal would";
    EXPECT_EQ(Contents(dir / "p.tif"), kOld) << what;
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"})) << what;
  }
}

TEST(WholeOrNothingTest, KillLeavesNoPartialFileAtTheName) {
  const int w = 1024, h = 400;
  const Bytes hdr = Picture(w, h);
  TempDir dir;
  WriteFile(dir / "p.tif", kOld);
  FedConversion run(dir);
  run.Feed(hdr, 0, hdr.size() / 2);
  ASSERT_TRUE(run.WaitForTemporaryFile(247 + 85 * w * 12));
  kill(run.child().pid(), SIGKILL);
  int signal = 0;
  run.child().Wait(&signal);
  EXPECT_EQ(signal, SIGKILL);
  EXPECT_EQ(Contents(dir / "p.tif"), kOld);
  if (TemporaryFilesHaveNoName(dir.path())) {
    // Nothing runs after SIGKILL; the file being written had no name.
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"}));
    return;
  }
  // Where files cannot be made without a name, the temporary file stays,
  // but only under its own hidden name.
  for (const std::string& name : FilesIn(dir.path()))
    EXPECT_TRUE(name == "p.hdr" || name == "p.tif" || name.rfind(".p.tif.", 0) == 0) << name;
}

#ifdef __linux__
TEST(WholeOrNothingTest, KillAtATemporaryNameLeavesAWholeTiffAndTheNextRunTidies) {
  // Killed as soon as a temporary name appears: at the final replace with
  // files that have no name until then, at the start without them. Either
  // way the TIFF is the old one or the whole new one, and the next run
  // leaves nothing else.
  const Bytes hdr = Picture(1024, 200);
  const Bytes want = Converted(hdr);
  TempDir dir;
  WriteFile(dir / "p.hdr", hdr);
  WriteFile(dir / "p.tif", kOld);
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE), 0);
  Child child(dir.path(), {"p.hdr"});
  bool seen = false;
  alignas(struct inotify_event) char events[4096];
  for (pollfd ready = {watch, POLLIN, 0}; !seen && poll(&ready, 1, 20000) == 1;) {
    const ssize_t n = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n && !seen;) {
      const auto* e = reinterpret_cast<const struct inotify_event*>(events + at);
      seen = e->len > 0 && std::string(e->name).rfind(".p.tif.", 0) == 0;
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
    }
  }
  close(watch);
  ASSERT_TRUE(seen) << "no temporary name appeared";
  kill(child.pid(), SIGKILL);
  child.Wait();
  const Bytes tif = Contents(dir / "p.tif");
  EXPECT_TRUE(tif == kOld || tif == want) << "a TIFF of " << tif.size() << " bytes";
  const RunResult again = RunCorvalin(dir.path(), {"p.hdr"});
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(Contents(dir / "p.tif"), want);
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"}));
}
#endif

TEST(WholeOrNothingTest, ReaderOfStandardOutputGoneChangesNothing) {
  // corvalin big.hdr | true: the messages are lost, not the conversion.
  const Bytes hdr = Picture(1024, 200);
  TempDir dir;
  WriteFile(dir / "p.hdr", hdr);
  RunOptions options;
  options.outputReaderGone = true;
  int signal = 0;
  Child child(dir.path(), {"p.hdr"}, options);
  const RunResult run = child.Wait(&signal);
  EXPECT_EQ(signal, 0) << strsignal(signal);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Contents(dir / "p.tif"), Converted(hdr));
}

TEST(InputTest, DevicesAreNotReadAndEndlessInputsEnd) {
  // A device holds no picture, and reading one may never end: it is
  // refused at once, as an input that cannot be opened. A pipe is read,
  // but one that never ends a header is no picture.
  for (const char* device : {"/dev/zero", "/dev/null", "/dev/tty"}) {
    TempDir dir;
    ASSERT_EQ(symlink(device, (dir / "p.hdr").c_str()), 0);
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    EXPECT_EQ(run.status, 1) << device;
    EXPECT_EQ(run.output, Announcement("p.hdr", "p.tif") + OpenError("p.hdr")) << device;
  }
  for (const std::string& pattern : {std::string(1, '\0'), std::string("A=1\n")}) {
    TempDir dir;
    FedConversion run(dir);
    run.FeedForever(pattern);
    run.Close();
    const RunResult result = run.child().Wait();
    EXPECT_EQ(result.status, 1) << pattern;
    EXPECT_EQ(result.output, Announcement("p.hdr", "p.tif") + kNoHeader + kNoResolution) << pattern;
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"p.hdr"});
  }
}

TEST(WholeOrNothingTest, IgnoredInterruptStaysIgnored) {
  // A job started in the background ignores SIGINT; the conversion must
  // not start heeding it.
  const int w = 1024, h = 400;
  const Bytes hdr = Picture(w, h);
  TempDir dir;
  RunOptions options;
  options.ignoredSignals = {SIGINT, SIGHUP};
  FedConversion run(dir, options);
  run.Feed(hdr, 0, hdr.size() / 2);
  ASSERT_TRUE(run.WaitForTemporaryFile(247));
  kill(run.child().pid(), SIGINT);
  kill(run.child().pid(), SIGHUP);
  run.Feed(hdr, hdr.size() / 2, hdr.size());
  run.Close();
  int signal = 0;
  const RunResult result = run.child().Wait(&signal);
  EXPECT_EQ(signal, 0);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(Contents(dir / "p.tif"), Converted(hdr));
}

TEST(OutputNameTest, LinkAtTheOutputNameStaysAndItsFileIsReplaced) {
  const Bytes hdr = Picture(40, 6);
  const Bytes want = Converted(hdr);
  for (bool targetExists : {true, false}) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    if (targetExists) WriteFile(dir / "sub/real.tif", kOld);
    ASSERT_EQ(symlink("sub/real.tif", (dir / "p.tif").c_str()), 0);
    WriteFile(dir / "p.hdr", hdr);
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"});
    EXPECT_EQ(run.status, 0) << run.output;
    char target[64] = {};
    ASSERT_GT(readlink((dir / "p.tif").c_str(), target, sizeof target - 1), 0) << "the link is gone";
    EXPECT_STREQ(target, "sub/real.tif");
    EXPECT_EQ(Contents(dir / "sub/real.tif"), want) << "target existed: " << targetExists;
    EXPECT_EQ(FilesIn(dir / "sub"), std::vector<std::string>{"real.tif"});
  }
}

TEST(OutputNameTest, PermissionBitsAreKept) {
  const Bytes hdr = Picture(16, 3);
  struct Case {
    int existingMode;  // -1: no file before
    int umask;
    mode_t want;
  } cases[] = {{0640, 022, 0640}, {0600, 022, 0600}, {0664, 077, 0664},
               {-1, 027, 0640}, {-1, 0, 0666}};
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "p.hdr", hdr);
    if (c.existingMode >= 0) {
      WriteFile(dir / "p.tif", kOld);
      chmod((dir / "p.tif").c_str(), static_cast<mode_t>(c.existingMode));
    }
    RunOptions options;
    options.umask = c.umask;
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"}, options);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ModeOf(dir / "p.tif") & 07777, c.want)
        << "before " << std::oct << c.existingMode << ", umask " << c.umask;
    EXPECT_EQ(Contents(dir / "p.tif"), Converted(hdr));
  }
}

TEST(OutputNameTest, FifoAtTheOutputNameIsWrittenInPlace) {
  // Rows in file order, bottom-up and as columns: a FIFO cannot seek, so
  // every one must reach it top to bottom, byte for byte as a file gets it.
  const int w = 9, h = 5;
  const Bytes picture = GradientPicture(w, h, 4);
  std::vector<Bytes> columns(w);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      columns[x].insert(columns[x].end(), picture.begin() + (y * w + x) * 4, picture.begin() + (y * w + x) * 4 + 4);
  std::vector<Bytes> bottomUp = Rows(picture, w);
  std::reverse(bottomUp.begin(), bottomUp.end());
  const Bytes want = Converted(MakeHdr("-Y 5 +X 9\n", Rows(picture, w), Encoding::kFlat));
  struct Case {
    const char* what;
    Bytes hdr;
  } cases[] = {{"top-down", MakeHdr("-Y 5 +X 9\n", Rows(picture, w), Encoding::kFlat)},
               {"bottom-up", MakeHdr("+Y 5 +X 9\n", bottomUp, Encoding::kFlat)},
               {"columns", MakeHdr("+X 9 -Y 5\n", columns, Encoding::kFlat)}};
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "p.hdr", c.hdr);
    ASSERT_EQ(mkfifo((dir / "p.tif").c_str(), 0644), 0);
    Child child(dir.path(), {"p.hdr"});
    Bytes got;
    std::thread reader([&] {
      const int fd = open((dir / "p.tif").c_str(), O_RDONLY);
      uint8_t chunk[4096];
      ssize_t n;
      while (fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0) got.insert(got.end(), chunk, chunk + n);
      if (fd >= 0) close(fd);
    });
    const RunResult run = child.Wait();
    // Should the program never have opened the FIFO, let the reader go.
    const int unblock = open((dir / "p.tif").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
    reader.join();
    EXPECT_EQ(run.status, 0) << c.what << "\n" << run.output;
    EXPECT_EQ(got, want) << c.what;
    EXPECT_TRUE(S_ISFIFO(ModeOf(dir / "p.tif"))) << c.what;
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"})) << c.what;
  }
}

TEST(OutputNameTest, FolderThatTakesNoNewFileIsWrittenInPlace) {
  // A TIFF that may be written in a folder that takes no new file is
  // written in place, as it always was; none that may not is refused.
  std::string why;
  if (!OthersCanRunTheProgram(&why)) GTEST_SKIP() << why;
  const Bytes hdr = Picture(16, 3);
  for (mode_t tiffMode : {mode_t{0666}, mode_t{0444}}) {
    TempDir dir;
    WriteFile(dir / "p.hdr", hdr);
    WriteFile(dir / "p.tif", kOld);
    chmod((dir / "p.tif").c_str(), tiffMode);
    chmod(dir.path().c_str(), 0555);
    RunOptions options;
    options.asNobody = true;  // as root, permissions would not count
    const RunResult run = RunCorvalin(dir.path(), {"p.hdr"}, options);
    chmod(dir.path().c_str(), 0755);
    if (tiffMode == 0666) {
      EXPECT_EQ(run.status, 0) << run.output;
      EXPECT_EQ(Contents(dir / "p.tif"), Converted(hdr));
    } else {
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_TRUE(EndsWith(run.output, kProcessed + kWriteError)) << run.output;
      EXPECT_EQ(Contents(dir / "p.tif"), kOld);
    }
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"p.hdr", "p.tif"}));
  }
}

}  // namespace
