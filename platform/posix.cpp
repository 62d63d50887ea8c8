// The platform layer on POSIX.1-2008 systems (Linux, macOS, the BSDs).
// Linux's extras are used where configure found them, and left out with
// CORVALIN_PORTABLE:
//   CORVALIN_HAVE_FADVISE        posix_fadvise: the input is read once, in order
//   CORVALIN_HAVE_MADV_HUGEPAGE  madvise(MADV_HUGEPAGE): large pages for large blocks
//   CORVALIN_HAVE_MADV_POPULATE  madvise(MADV_POPULATE_WRITE): pages made ready ahead
//   CORVALIN_HAVE_O_TMPFILE      open(O_TMPFILE), named through /proc: a kill leaves nothing
//   CORVALIN_HAVE_SYNC_FILE_RANGE  a file's writing to the disk started early
//   CORVALIN_HAVE_SCHED_AFFINITY sched_getaffinity: the processors a conversion may use
//   CORVALIN_HAVE_ABSTRACT_SOCKETS  running conversions count each other without files
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
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

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

Status Failed(int error) { return Status{Result::kWriteFailed, error}; }

// Whether name still names the regular file open at fd.
bool Names(const std::string& name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && lstat(name.c_str(), &named) == 0 &&
         named.st_ino == held.st_ino && named.st_dev == held.st_dev;
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

std::string ProcName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

OutputTarget FindOutputTarget(const std::string& name) {
  OutputTarget t;
  t.path = FollowLinks(name);
  const size_t slash = t.path.rfind('/');
  t.folder = t.path.substr(0, slash == std::string::npos ? 0 : slash + 1);
  t.kind = KindOf(t.path);
  if (t.kind == PathKind::kRegular) {
    const int probe = open(t.path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) t.writable = Failed(errno);
    if (probe >= 0) close(probe);
  } else if (t.kind == PathKind::kFolder) {
    t.writable = Failed(EISDIR);
  }
  return t;
}

bool NameTaken(const Status& failure) { return failure.osError == EEXIST; }
bool Refused(const Status& failure) { return failure.osError == EACCES || failure.osError == EPERM; }

void RemoveUnheld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // Locked, and still at that name: no conversion holds it, and none can
  // take it now (see CreateNamed).
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && Names(path, fd)) unlink(path.c_str());
  close(fd);
}

bool SpaceAvailable(const std::string& folder, uint64_t* bytes) {
  struct statvfs fs;
  // A file system that counts no blocks at all (some FUSE and network
  // ones) cannot say.
  if (statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0 || fs.f_blocks == 0) return false;
  *bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
  return true;
}

Status OutputHandle::Opened(intptr_t handle, bool fresh) {
  struct stat st;
  handle_ = handle;
  fresh_ = fresh;
  seekable_ = lseek(static_cast<int>(handle), 0, SEEK_CUR) >= 0;
  holes_ = seekable_ && fstat(static_cast<int>(handle), &st) == 0 && S_ISREG(st.st_mode);
  position_ = 0;
  return Status{};
}

Status OutputHandle::CreateUnnamed(const std::string& folder) {
  Close();
#ifdef CORVALIN_HAVE_O_TMPFILE
  // Its name comes through /proc at Link; without /proc it cannot have one.
  // The mode, as for any new file, is what the umask leaves of 0666.
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0 && access(ProcName(fd).c_str(), F_OK) == 0 && flock(fd, LOCK_EX) == 0) return Opened(fd, true);
  if (fd >= 0) close(fd);
#else
  (void)folder;
#endif
  return Failed(EOPNOTSUPP);
}

Status OutputHandle::CreateNamed(const std::string& path) {
  Close();
  SignalsBlocked blocked;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return Failed(errno);
  // Between the open and the lock another conversion may find the file
  // unlocked and remove it as a leftover; it is ours only while the name
  // still holds it once locked. If not, the name counts as taken.
  if (flock(fd, LOCK_EX) != 0 || !Names(path, fd)) {
    close(fd);
    return Failed(EEXIST);
  }
  name_ = path;
  Announce(path);
  return Opened(fd, true);
}

Status OutputHandle::OpenInPlace(const std::string& path) {
  Close();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  return fd < 0 ? Failed(errno) : Opened(fd, false);
}

Status OutputHandle::SetSize(uint64_t bytes) {
  if (!IsOpen() || !holes_ || bytes > static_cast<uint64_t>(INT64_MAX)) return Failed(EINVAL);
  for (;;) {
    if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(bytes)) == 0) return Status{};
    if (errno != EINTR) return Failed(errno);
  }
}

Status OutputHandle::WriteAt(const void* data, size_t size, uint64_t offset) {
  if (!IsOpen() || (!seekable_ && offset != position_)) return Failed(EBADF);
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

void OutputHandle::StartWriteback(uint64_t offset, uint64_t size) {
#ifdef CORVALIN_HAVE_SYNC_FILE_RANGE
  if (IsOpen()) sync_file_range(static_cast<int>(handle_), static_cast<off_t>(offset), static_cast<off_t>(size),
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)size;
#endif
}

void OutputHandle::TakeOver(const std::string& path) {
  struct stat old;
  if (!IsOpen() || stat(path.c_str(), &old) != 0) return;
  const int fd = static_cast<int>(handle_);
  if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(fd, old.st_uid, old.st_gid);
  fchmod(fd, old.st_mode & 0777);
}

Status OutputHandle::Link(const std::string& path) {
  if (!IsOpen() || !name_.empty()) return Failed(EBADF);
  SignalsBlocked blocked;
  if (linkat(AT_FDCWD, ProcName(static_cast<int>(handle_)).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return Failed(errno);
  name_ = path;
  return Status{};
}

Status OutputHandle::MoveTo(const std::string& target) {
  if (!IsOpen() || name_.empty()) return Failed(EBADF);
  SignalsBlocked blocked;
  // Closed first: close() reports what delayed writes to some file systems
  // (NFS) found, and such a file is not put in place. A descriptor of its
  // own keeps the lock meanwhile.
  const int lock = dup(static_cast<int>(handle_));
  Status s = close(static_cast<int>(std::exchange(handle_, lock))) == 0 ? Status{} : Failed(errno);
  if (s.ok() && (lock < 0 || !Names(name_, lock))) s = Failed(EEXIST);
  if (s.ok() && rename(name_.c_str(), target.c_str()) != 0) s = Failed(errno);
  fresh_ = !s.ok();
  Close();
  return s;
}

Status OutputHandle::Close() {
  const int fd = static_cast<int>(std::exchange(handle_, -1));
  SignalsBlocked blocked;
  // A new file that never reached its place goes; one without a name goes
  // with its descriptor.
  if (fresh_ && !name_.empty() && (fd < 0 || Names(name_, fd))) unlink(name_.c_str());
  const Status s = fd < 0 || close(fd) == 0 ? Status{} : Failed(errno);
  fresh_ = false;
  Withdraw(name_);
  name_.clear();
  return s;
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

int Conversion::Processors() {
#ifdef CORVALIN_HAVE_SCHED_AFFINITY
  cpu_set_t usable;
  if (sched_getaffinity(0, sizeof usable, &usable) == 0) return CPU_COUNT(&usable);
#endif
  return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

intptr_t Conversion::TakePlace(int k) {
#ifdef CORVALIN_HAVE_ABSTRACT_SOCKETS
  // A name in the abstract namespace (a first byte 0): no file, and gone
  // with the socket.
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "corvalin-conversion-%d", k);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) == 0)
    return fd;
  const bool held = errno == EADDRINUSE;
#else
  // A file of this user's in the temporary folder, locked while held; the
  // lock goes with its process.
  const char* folder = std::getenv("TMPDIR");
  const std::string name = std::string(folder && *folder ? folder : "/tmp") + "/.corvalin-conversion-" +
                           std::to_string(getuid()) + "-" + std::to_string(k);
  const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  const bool held = errno == EWOULDBLOCK;
#endif
  close(fd);
  return held ? kHeld : -1;
}

void Conversion::Leave(intptr_t place) { close(static_cast<int>(place)); }

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
