// Test helpers: a small Radiance encoder for fixtures, temporary folders,
// running the real program, and reading TIFFs back with libtiff. Names are
// UTF-8 on every system. support.cpp holds what is the same everywhere;
// support_posix.cpp and support_windows.cpp start the program.
#ifndef CORVALIN_TESTS_SUPPORT_H
#define CORVALIN_TESTS_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/hdr_encode.h"

// A w x h picture (row-major RGBE) that is neither flat nor random: smooth
// gradients with runs of equal bytes and a few bright pixels. seed varies it.
Bytes GradientPicture(int width, int height, uint32_t seed = 1);

// Rows of a row-major picture, each width pixels.
std::vector<Bytes> Rows(const Bytes& picture, int width);

// A whole .hdr file of GradientPicture(width, height, seed), stored top
// row first, in the encoding given.
Bytes GradientHdr(int width, int height, Encoding encoding = Encoding::kRunLength, uint32_t seed = 1);

// The float value of an RGBE component, computed the long way (ldexp).
float ReferenceFloat(uint8_t mantissa, uint8_t exponent);

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
bool ReadFile(const std::string& path, Bytes* bytes);
bool FileExists(const std::string& path);  // a link counts, whatever it points to
void MakeFolder(const std::string& path);    // throws when it cannot
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> FilesIn(const std::string& folder);

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  // Standard output. On Windows each CR LF becomes "\n" here, and a line
  // feed without its CR shows as "<LF without CR>", so that the same texts
  // are expected everywhere and a line in the wrong mode is caught.
  std::string output;
};

// How the child runs, beyond its folder and arguments. Only on POSIX
// systems: Windows takes none of these.
struct RunOptions {
  uint64_t addressSpaceLimit = 0;  // non-zero: caps the child's memory
  uint64_t fileSizeLimit = 0;      // non-zero: writes past it fail (SIGXFSZ ignored)
  bool asNobody = false;           // when root: run as uid/gid 65534, so permissions count
  int umask = -1;                  // >= 0: the child's umask
  std::vector<int> ignoredSignals; // ignored when the child starts
  bool outputReaderGone = false;   // its standard output a pipe nobody reads (output is lost)
};

// Runs the built corvalin in dir with the given arguments; standard output
// is captured. addressSpaceLimit, when non-zero, caps the child's memory.
RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      uint64_t addressSpaceLimit = 0);
RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      const RunOptions& options);

#ifndef _WIN32
// Whether a run with asNobody can start the program; why not, if not (the
// tests that need it skip then, saying why).
bool OthersCanRunTheProgram(std::string* why);
#endif

#ifndef _WIN32
// A small tmpfs mounted at path (made here) for the object's life, where
// the tests may mount one (as root): a file system that fills up.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const std::string& options);
  ~SmallFileSystem();
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};
#endif

// Holds path as a running conversion holds its temporary file (locked on
// POSIX systems, open and shared with no one on Windows) for the object's
// life.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool held() const { return handle_ != -1; }

 private:
  intptr_t handle_ = -1;
};

// corvalin running in the background, for tests that act while it runs.
class Child {
 public:
  Child(const std::string& dir, const std::vector<std::string>& args,
        const RunOptions& options = {});
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
#ifndef _WIN32
  int pid() const { return static_cast<int>(process_); }
#endif
  // Ends the child at once: SIGKILL, or TerminateProcess on Windows.
  void Kill();
  // Waits for the child's end. Exit status, or -1 for a signal (*signal set).
  RunResult Wait(int* signal = nullptr);

 private:
  intptr_t process_ = -1;  // a pid, or a process HANDLE
  intptr_t output_ = -1;   // the read end of its standard output
};


// Whether s ends with tail.
bool EndsWith(const std::string& s, const std::string& tail);

// "-Y h +X w\n": the usual resolution line of a w x h picture.
std::string ResolutionLine(int w, int h);

// The two size lines a run prints for a w x h picture.
std::string Sizes(int w, int h);

// A file's bytes, or {'?'} when it cannot be read.
Bytes Contents(const std::string& path);

// The stdout of a run up to and including the announcement line.
std::string Announcement(const std::string& input, const std::string& output);
extern const char kBanner[];

struct TiffImage {
  uint32_t width = 0, height = 0;
  uint16_t bitsPerSample = 0, samplesPerPixel = 0, sampleFormat = 0;
  uint16_t photometric = 0, compression = 0;
  std::string description, software, artist, copyright;  // empty when not set
  std::vector<float> pixels;
};

// Reads a float TIFF through libtiff; false (with the reason in *error) when
// libtiff cannot read it. Where the tests are built without libtiff (for
// Windows), a small reader of baseline single-strip TIFFs stands in, which
// takes every number from the file's directory, never from the writer.
bool ReadTiff(const std::string& path, TiffImage* image, std::string* error);

// Little-endian numbers from a byte buffer, for checking layouts by hand.
uint32_t Get16(const Bytes& b, size_t at);
uint32_t Get32(const Bytes& b, size_t at);

#endif
