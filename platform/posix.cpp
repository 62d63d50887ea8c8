// The platform layer on POSIX.1-2008 systems (Linux, macOS, the BSDs).
// Linux's extras are used where configure found them, and left out with
// CORVALIN_PORTABLE:
//   CORVALIN_HAVE_FADVISE        posix_fadvise: the input is read once, in order
//   CORVALIN_HAVE_MADV_HUGEPAGE  madvise(MADV_HUGEPAGE): large pages for large blocks
//   CORVALIN_HAVE_MADV_POPULATE  madvise(MADV_POPULATE_WRITE): pages made ready ahead
//   CORVALIN_HAVE_O_TMPFILE      open(O_TMPFILE) and a name through /proc at the end:
//                                a killed conversion leaves no file at all
//   CORVALIN_HAVE_RENAME_EXCHANGE  renameat2(RENAME_EXCHANGE): a TIFF replaces an old one
//                                without the cost ext4 adds to a rename over a file
//   CORVALIN_HAVE_SCHED_AFFINITY sched_getcpu and sched_setaffinity: a conversion's two
//                                threads each keep a processor
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#ifdef CORVALIN_HAVE_SCHED_AFFINITY
#include <sched.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void WriteOutput(const char* text, size_t size) { std::fwrite(text, 1, size, stdout); }

PathKind KindOf(const std::string& name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

// ---- Input

Status InputFile::Open(const std::string& name) {
  Close();
  // Files and pipes are read; a device never is (a terminal, /dev/zero:
  // none holds a picture, and reading one may never end). It is looked at
  // before it is opened, as opening some (a serial port) may wait.
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return Status{Result::kCannotOpen, errno};
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) return Status{Result::kCannotOpen, S_ISDIR(st.st_mode) ? EISDIR : ENODEV};
  const int fd = open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Status{Result::kCannotOpen, errno};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
    close(fd);
    return Status{Result::kCannotOpen, ENODEV};
  }
#ifdef CORVALIN_HAVE_FADVISE
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // read once, front to back
#endif
  handle_ = fd;
  return Status{};
}

int64_t InputFile::Read(void* buffer, size_t size) {
  if (handle_ == kNone) return -1;
  for (;;) {
    const ssize_t n = read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

void InputFile::Close() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  handle_ = kNone;
}

// ---- Output

namespace {

// The temporary file being written, for a signal handler to remove. A
// handler may only read what it finds here, so the name lives in a fixed
// buffer, and the flag is set and cleared with every signal blocked.
char gUnfinished[4096];
volatile sig_atomic_t gUnfinishedSet = 0;

// The signals CleanUpOnInterrupt handles.
sigset_t Handled() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  return set;
}

// Blocks every signal, or only the handled ones, in this thread for the
// life of the object.
class SignalsBlocked {
 public:
  explicit SignalsBlocked(bool handledOnly = false) {
    sigset_t set = Handled();
    if (!handledOnly) sigfillset(&set);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Symbolic links are followed the way open() would, so that the file a link
// points to is replaced rather than the link. A link that points nowhere
// names the file to create.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (target[0] == '/' || slash == std::string::npos)
      path = target;
    else
      path = path.substr(0, slash + 1) + target;
  }
  return path;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mode a plain open(..., 0666) would give a new file.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

Status Failed(int error) { return Status{Result::kWriteFailed, error}; }

// A temporary file beside target is named ".<name>.part<k>", k from 0 to
// kSlots - 1, its name shortened to whole characters (macOS takes only
// valid UTF-8) so that the whole fits any file system's 255 bytes. So a
// conversion knows the names a killed one may have left.
constexpr int kSlots = 8;

std::string Slot(const std::string& target, int k) {
  std::string base = BaseOf(target);
  size_t n = std::min<size_t>(base.size(), 248);
  while (n > 0 && n < base.size() && (static_cast<unsigned char>(base[n]) & 0xC0) == 0x80) --n;
  return FolderOf(target) + "/." + base.substr(0, n) + ".part" + static_cast<char>('0' + k);
}

// A descriptor of its own for path (or -1), holding the lock that tells
// other conversions the temporary file is in use. Its own: the lock stays
// while the writing descriptor is closed, until the file has its name.
int Lock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether name still names the regular file open at fd.
bool Names(const std::string& name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && lstat(name.c_str(), &named) == 0 &&
         named.st_ino == held.st_ino && named.st_dev == held.st_dev;
}

// Removes name when it is a file no running conversion holds: one left by
// a conversion killed while the file had that name. True when name is free.
bool RemoveLeftover(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  const bool removed = flock(fd, LOCK_EX | LOCK_NB) == 0 && Names(name, fd) && unlink(name.c_str()) == 0;
  close(fd);
  return removed;
}

// The record a signal handler reads, set and cleared with every signal
// blocked. One file at a time is announced; the program never writes two.
void Announce(const std::string& temp) {
  if (!gUnfinishedSet && temp.size() < sizeof gUnfinished) {
    std::memcpy(gUnfinished, temp.c_str(), temp.size() + 1);
    gUnfinishedSet = 1;
  }
}

void Withdraw(const std::string& temp) {
  if (gUnfinishedSet && temp == gUnfinished) gUnfinishedSet = 0;
}

// A new file takes what the file it replaces had, as far as we may: owner
// and group, and permission bits (never set-user-ID, set-group-ID or
// sticky, as cp does); a file with nothing to replace, the mode a plain
// open(..., 0666) gives.
void TakeOver(int fd, const struct stat* old) {
  if (!old) {
    fchmod(fd, NewFileMode());
    return;
  }
  if (old->st_uid != geteuid() || old->st_gid != getegid()) (void)!fchown(fd, old->st_uid, old->st_gid);
  fchmod(fd, old->st_mode & 0777);
}

#ifdef CORVALIN_HAVE_O_TMPFILE
std::string ProcName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

#endif

// Puts the file at temp in the place of target. A rename over an existing
// file makes ext4 start writing the new file out and free the old one's
// blocks, waiting for any writing of those still under way, within the call
// (its guard for files replaced without fsync against a power cut, which
// we do not promise to survive). Swapping the two names and then removing
// the old file costs neither: the new file is written out as any file is,
// later, and the old one's blocks mostly freed before any write of them is
// under way. Between the two calls a kill leaves the old file under temp,
// which the next conversion removes.
bool Replace(const std::string& temp, const std::string& target) {
#ifdef CORVALIN_HAVE_RENAME_EXCHANGE
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    unlink(temp.c_str());
    return true;
  }
  // EINVAL, ENOSYS: the file system or the system cannot swap; ENOENT:
  // there is no old file, as when it went since Start.
#endif
  return rename(temp.c_str(), target.c_str()) == 0;
}

}  // namespace

bool SpaceAvailable(const std::string& name, uint64_t* bytes) {
  const std::string target = FollowLinks(name);
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
  struct statvfs fs;
  // A file system that counts no blocks at all (some FUSE and network
  // ones) cannot say.
  if (statvfs(FolderOf(target).c_str(), &fs) != 0 || fs.f_blocks == 0) return false;
  *bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
  return true;
}

OutputFile::~OutputFile() { Abandon(); }

Status OutputFile::Opened(intptr_t handle, bool inPlace) {
  struct stat st;
  handle_ = handle;
  inPlace_ = inPlace;
  seekable_ = !inPlace || lseek(static_cast<int>(handle), 0, SEEK_CUR) >= 0;
  holes_ = !inPlace || (seekable_ && fstat(static_cast<int>(handle), &st) == 0 && S_ISREG(st.st_mode));
  position_ = 0;
  return Status{};
}

Status OutputFile::Start(const std::string& name) {
  Abandon();
  onlyInPlace_ = false;
  target_ = FollowLinks(name);
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Failed(EISDIR);
  if (exists && !S_ISREG(st.st_mode)) {  // a device, a FIFO
    onlyInPlace_ = true;
    return Failed(0);
  }
  if (exists) {
    // A file that could not be overwritten in place is not replaced either.
    const int probe = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return Failed(errno);
    close(probe);
  }
  for (int k = 0; k < kSlots; ++k) RemoveLeftover(Slot(target_, k));
  const struct stat* old = exists ? &st : nullptr;
#ifdef CORVALIN_HAVE_O_TMPFILE
  // A file without a name until Commit gives it one, so that nothing is
  // left behind however the program ends, SIGKILL included. The name comes
  // through /proc; without /proc, or on a file system that cannot make
  // such files, the file is named from the start. Beside the target, so
  // that the rename stays within one file system.
  const int unnamed = open(FolderOf(target_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (unnamed >= 0 && access(ProcName(unnamed).c_str(), F_OK) == 0) {
    lock_ = Lock(ProcName(unnamed));
    unnamed_ = true;
    TakeOver(unnamed, old);
    return Opened(unnamed, false);
  }
  if (unnamed >= 0) close(unnamed);
#endif
  int error = EEXIST;
  for (int k = 0; k < kSlots && error == EEXIST; ++k) {
    const std::string temp = Slot(target_, k);
    SignalsBlocked blocked;
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    error = errno;
    if (fd < 0) continue;
    lock_ = Lock(temp);
    temp_ = temp;
    unnamed_ = false;
    Announce(temp);
    TakeOver(fd, old);
    return Opened(fd, false);
  }
  // Only a folder that refuses new files sends a writable file to be
  // written in place; on a full disk, say, that would destroy it.
  onlyInPlace_ = exists && (error == EACCES || error == EPERM);
  return Failed(error);
}

Status OutputFile::StartInPlace(const std::string& name) {
  Abandon();
  onlyInPlace_ = false;
  unnamed_ = false;
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return Failed(errno);
  return Opened(fd, true);
}

Status OutputFile::SetSize(uint64_t bytes) {
  if (!CanHaveHoles() || bytes > static_cast<uint64_t>(INT64_MAX)) return Failed(EINVAL);
  for (;;) {
    if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(bytes)) == 0) return Status{};
    if (errno != EINTR) return Failed(errno);
  }
}

Status OutputFile::WriteAt(const void* data, size_t size, uint64_t offset) {
  if (handle_ < 0 || (!seekable_ && offset != position_)) return Failed(EBADF);
  const int fd = static_cast<int>(handle_);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = seekable_ ? pwrite(fd, p, size, static_cast<off_t>(offset))
                                : write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failed(n < 0 ? errno : ENOSPC);
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  position_ = offset;
  return Status{};
}

Status OutputFile::Commit() {
  if (handle_ < 0) return Failed(EBADF);
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // close() reports what delayed writes to some file systems (NFS) found.
  // There is no fsync: a file that survives the program is what is
  // promised, not one that survives a power cut, and an fsync would make
  // every conversion wait for the disk.
  if (inPlace_) return close(fd) == 0 ? Status{} : Failed(errno);
  SignalsBlocked blocked;
  Status status;
#ifdef CORVALIN_HAVE_O_TMPFILE
  if (unnamed_) {
    // A new file takes its name at once. A file cannot be linked over an
    // old one, so it takes a name of its own first, put in the old one's
    // place below (see Replace): a kill can leave it, or the old one, under
    // that name only within those few calls, and the next conversion to
    // the same name removes it.
    if (linkat(AT_FDCWD, ProcName(fd).c_str(), AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      Release();
      return close(fd) == 0 ? Status{} : Failed(errno);
    }
    for (int k = 0; k < kSlots && temp_.empty() && errno == EEXIST; ++k) {
      const std::string name = Slot(target_, k);
      if (linkat(AT_FDCWD, ProcName(fd).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) temp_ = name;
    }
    if (temp_.empty()) status = Failed(errno);
  }
#endif
  // Still ours: no other conversion took the name before the file was
  // locked (see RemoveLeftover).
  const bool ours = !temp_.empty() && Names(temp_, fd);
  if (status.ok() && !ours) status = Failed(EEXIST);
  if (close(fd) != 0 && status.ok()) status = Failed(errno);
  if (status.ok() && !Replace(temp_, target_)) status = Failed(errno);
  if (!status.ok() && ours) unlink(temp_.c_str());
  Release();
  return status;
}

void OutputFile::Abandon() {
  if (handle_ < 0) return;
  close(static_cast<int>(handle_));
  handle_ = -1;
  SignalsBlocked blocked;
  // An unnamed file is gone with its descriptor.
  if (!inPlace_ && !temp_.empty()) unlink(temp_.c_str());
  Release();
}

void OutputFile::Release() {
  if (lock_ >= 0) close(static_cast<int>(lock_));
  lock_ = -1;
  Withdraw(temp_);
  temp_.clear();
}

// ---- Interruptions

namespace {

// Removes the unfinished file, then ends the program as the signal would
// have. Only async-signal-safe calls.
extern "C" void RemoveUnfinishedAndDie(int signal) {
  if (gUnfinishedSet) unlink(gUnfinished);
  raise(signal);  // the default action again, once this handler returns
}

}  // namespace

void CleanUpOnInterrupt() {
  // Messages are information: standard output that has lost its reader
  // (corvalin big.hdr | true) fails their writes, not the conversion.
  signal(SIGPIPE, SIG_IGN);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal ignored when the program started (SIGINT and SIGHUP for a
    // job in the background) stays ignored.
    if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = RemoveUnfinishedAndDie;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal, &action, nullptr);
  }
}

#ifdef CORVALIN_HAVE_SCHED_AFFINITY
ProcessorBinding::ProcessorBinding(std::thread& partner) {
  static_assert(sizeof(cpu_set_t) <= sizeof former_, "room for a processor set");
  cpu_set_t allowed, here, elsewhere;
  const int now = sched_getcpu();
  if (now < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(now, &allowed) ||
      CPU_COUNT(&allowed) < 2)
    return;
  CPU_ZERO(&here);
  CPU_SET(now, &here);
  elsewhere = allowed;
  CPU_CLR(now, &elsewhere);
  // The partner first: once this thread is bound, a thread it started
  // would inherit its one processor.
  if (pthread_setaffinity_np(partner.native_handle(), sizeof elsewhere, &elsewhere) != 0) return;
  if (sched_setaffinity(0, sizeof here, &here) != 0) return;
  std::memcpy(former_, &allowed, sizeof allowed);
  bound_ = true;
}

ProcessorBinding::~ProcessorBinding() {
  if (!bound_) return;
  cpu_set_t allowed;
  std::memcpy(&allowed, former_, sizeof allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
}
#else
ProcessorBinding::ProcessorBinding(std::thread&) {}
ProcessorBinding::~ProcessorBinding() {}
#endif

bool ProcessorsBusy() {
  // "2.05 1.58 0.59 3/345 12345": load averages over 1, 5 and 15 minutes,
  // then the tasks running now over all tasks.
  char text[128] = {};
  const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  double minute = 0;
  long running = 0;
  if (n <= 0 || std::sscanf(text, "%lf %*s %*s %ld/", &minute, &running) != 2) return false;
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return processors > 0 && minute >= static_cast<double>(processors) - 0.5 && running >= processors;
}

std::thread StartThread(std::function<void()> work) {
  // The new thread inherits this one's mask.
  SignalsBlocked blocked(/*handledOnly=*/true);
  return std::thread(std::move(work));
}

// ---- Memory

LargeBlock::LargeBlock(uint64_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX - kLargePage) return;
  // Large pages only for a block that fills one: the first touch of a large
  // page clears all of it.
  const bool large = bytes >= kLargePage;
  size_ = static_cast<size_t>(bytes) + (large ? kLargePage : 0);  // room to align
  void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  mapping_ = p;
  const uintptr_t align = large ? kLargePage : 1;
  const uintptr_t aligned = (reinterpret_cast<uintptr_t>(p) + align - 1) & ~(align - 1);
  data_ = reinterpret_cast<uint8_t*>(aligned);
#ifdef CORVALIN_HAVE_MADV_HUGEPAGE
  if (large) madvise(data_, static_cast<size_t>(bytes), MADV_HUGEPAGE);
#endif
}

LargeBlock::~LargeBlock() {
  if (mapping_) munmap(mapping_, size_);
}

bool PrepareMemory(uint8_t* data, size_t size) {
#ifdef CORVALIN_HAVE_MADV_POPULATE
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it
#endif
  return madvise(data, size, MADV_POPULATE_WRITE) == 0;
#else
  (void)data;
  (void)size;
  return false;
#endif
}

}  // namespace platform
