// Everything the converter asks of the operating system, behind one small
// interface: the command line and standard output, the input file, the
// output file that appears whole or not at all, interruptions, large blocks
// of memory, and what the processor can do. posix.cpp serves Linux, macOS
// and the BSDs (with Linux's extras where configure found them), windows.cpp
// serves Windows; CMake picks one. Nothing outside this folder includes an
// operating-system header.
//
// Names are UTF-8 everywhere; only the Windows side turns them into UTF-16,
// at the call.
#ifndef CORVALIN_PLATFORM_PLATFORM_H
#define CORVALIN_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "result/result.h"

namespace platform {

// ---- Command line and console

// The program's arguments as UTF-8, the program's own name first. On
// Windows they come from the wide command line, so that any name arrives
// whole, and no wildcard is expanded.
std::vector<std::string> Arguments(int argc, char** argv);

// Writes UTF-8 text to standard output. Lines end in '\n' here; on Windows
// standard output is in text mode (CR LF), and a console is given the text
// as Unicode so that every name shows as it is.
void WriteOutput(const char* text, size_t size);

// ---- Files

enum class PathKind { kMissing, kRegular, kFolder, kOther };

// What a name is, symbolic links followed; kMissing also when it cannot
// be looked at.
PathKind KindOf(const std::string& name);

// A file read front to back.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(InputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  InputFile& operator=(InputFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kNone;
    }
    return *this;
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens name for reading. kCannotOpen, with nothing open, when it cannot
  // be opened or is a folder.
  Status Open(const std::string& name);
  bool IsOpen() const { return handle_ != kNone; }
  // Reads up to size bytes: the count read, 0 at the end of the file, -1
  // on a read error (an interrupted read is tried again).
  int64_t Read(void* buffer, size_t size);
  void Close();

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// ---- Output files: the steps a TIFF takes to its name, which
// driver/output_file.h chooses. Failures are kWriteFailed with the
// system's error code.

// What an output name leads to: the file a plain open() would write (links
// followed; one that points nowhere names the file to make), what that is,
// and whether an existing one could be opened for writing.
struct OutputTarget {
  std::string path;
  std::string folder;  // the start of path that names its folder, its last separator included
  PathKind kind = PathKind::kMissing;
  Status writable;
};
OutputTarget FindOutputTarget(const std::string& name);

// Whether a failed create found its name taken, or was refused (a folder
// that takes no new file; on Windows also a name still being deleted).
bool NameTaken(const Status& failure);
bool Refused(const Status& failure);

// Removes the file at path when no running conversion holds it (one left
// by a conversion that was killed); anything held is left alone.
void RemoveUnheld(const std::string& path);

// A file being written. A new one is held (locked on POSIX systems, shared
// with nobody on Windows) before RemoveUnheld can find it, and goes with an
// interruption until it is in its place (see CleanUpOnInterrupt).
class OutputHandle {
 public:
  OutputHandle() = default;
  ~OutputHandle() { Close(); }
  OutputHandle(const OutputHandle&) = delete;
  OutputHandle& operator=(const OutputHandle&) = delete;

  // A new file without a name, in folder, gone however the program ends
  // until Link names it (Linux, where the file system can).
  Status CreateUnnamed(const std::string& folder);
  // A new file at path, which must not exist yet.
  Status CreateNamed(const std::string& path);
  // path itself, created or emptied, as a plain open would write it.
  Status OpenInPlace(const std::string& path);
  bool IsOpen() const { return handle_ != -1; }

  // Writes size bytes at offset. A file written in place that cannot seek
  // (a FIFO) takes only offsets that continue where the last write ended.
  Status WriteAt(const void* data, size_t size, uint64_t offset);
  // Makes the file size bytes long: a longer file gets a hole, which reads
  // as zeros.
  Status SetSize(uint64_t bytes);
  // Whether parts never written may be left to SetSize: not for a FIFO or
  // a device.
  bool CanHaveHoles() const { return holes_; }
  // Has the system start writing size bytes at offset (0: to the end) to
  // the disk, waiting only for a page among them already being written out,
  // which must go again (Linux; elsewhere nothing).
  void StartWriteback(uint64_t offset, uint64_t size);
  // Gives the new file path's owner and permission bits, as far as we may
  // (POSIX; never set-user-ID, set-group-ID or sticky).
  void TakeOver(const std::string& path);

  // Gives a file without a name the name path; fails if path is taken.
  Status Link(const std::string& path);
  // Closes the new file and renames it to target, over any file there. On
  // failure the file is removed.
  Status MoveTo(const std::string& target);
  // Closes the file. A new file not yet in its place is removed.
  Status Close();

 private:
  Status Opened(intptr_t handle, bool fresh);

  intptr_t handle_ = -1;
  bool seekable_ = true;
  bool holes_ = true;
  bool fresh_ = false;   // made by this object and not yet in its place
  uint64_t position_ = 0;  // where a sequential write goes next
  std::string name_;     // the new file's name, while it has one
};

// The space the file system holding folder (an OutputTarget's) has for
// new files; false where the system cannot say.
bool SpaceAvailable(const std::string& folder, uint64_t* bytes);

// From now on an interruption (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break, closing the console) first removes the unfinished output
// file, then ends the program as it would have without this. An
// interruption that was ignored when the program started stays ignored.
// Standard output whose reader has gone (SIGPIPE on POSIX) ends nothing:
// the writes fail, and the exit status stays the conversion's.
//
// The rule that keeps this safe: the record of the unfinished file, which
// the handler reads, changes only in OutputHandle's CreateNamed, MoveTo and
// Close, with the handled signals blocked in the thread that calls them;
// and every other thread starts through StartThread, with those signals
// blocked for its whole life, so no handler ever runs on it. A handler
// therefore never finds the record half-written. (On Windows the system
// runs the handler on a thread of its own, and a lock guards the record.)
void CleanUpOnInterrupt();

// Starts a thread running work, with the interruptions above blocked in it.
// Throws std::system_error, as std::thread does, when no thread can be had.
std::thread StartThread(std::function<void()> work);

// ---- Memory

// The size of a large page, and the step in which PrepareMemory works.
constexpr size_t kLargePage = 2 * 1024 * 1024;

// A block of memory of a MiB or more, all zeros, starting on a page, in
// large pages (and aligned to one) where the system gives them. Fresh memory is costly, on
// virtual machines above all: every page traps into the kernel, which
// clears it, on first use; a 2 MiB page takes one trap where 4 KiB pages
// take 512, and touching many places of a block at once (turning columns
// into rows) then misses the TLB far less.
class LargeBlock {
 public:
  // data() is null when the block could not be had (or bytes is 0).
  explicit LargeBlock(uint64_t bytes);
  ~LargeBlock();
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;

  uint8_t* data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  size_t size_ = 0;
  uint8_t* data_ = nullptr;
};

// Has the system make the pages of a LargeBlock's [data, data + size)
// ready for writing (cleared and mapped) without changing what they hold,
// so that a second thread can take that work off the one that fills
// them. False where the system cannot (then nothing was done).
bool PrepareMemory(uint8_t* data, size_t size);

// ---- Processor

// This conversion, known to the others on the machine for as long as the
// object lives. Each running conversion holds one of as many places as
// there are processors it may use, freed however the process ends: on
// Linux an abstract socket's name, on Windows a named mutex, elsewhere a
// locked file of the user's in the temporary folder.
class Conversion {
 public:
  Conversion();
  ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  // Whether, when this was made, a processor had no conversion on it, so
  // that a second thread would have one to itself: fewer conversions ran
  // (this one among them) than there are processors.
  bool ProcessorToSpare() const { return spare_; }

 private:
  // What each system provides: the processors this process may use; place
  // k taken and held open, kHeld when someone holds it already, -1 when it
  // cannot be had; and a place given up.
  static constexpr intptr_t kHeld = -2;
  static int Processors();
  static intptr_t TakePlace(int k);
  static void Leave(intptr_t place);

  intptr_t place_ = -1;
  bool spare_ = true;
};

// Whether the processor (and the system, which must save its registers)
// runs AVX2 instructions.
bool HasAVX2();

}  // namespace platform

#endif
