#include "tiff/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The temporary file being written, for a signal handler to remove. A
// handler may only read what it finds here, so the name lives in a fixed
// buffer, and the flag is set and cleared with every signal blocked.
char gUnfinished[4096];
volatile sig_atomic_t gUnfinishedSet = 0;

// Blocks every signal in this thread for the life of the object.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
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

}  // namespace

OutputFile::~OutputFile() { Abandon(); }

OutputFile::Open OutputFile::Start(const std::string& name, bool allowInPlace) {
  Abandon();
  target_ = FollowLinks(name);
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Open::kFailed;
  const bool regular = !exists || S_ISREG(st.st_mode);
  if (exists && regular) {
    // A file that could not be overwritten in place is not replaced either.
    const int probe = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return Open::kFailed;
    close(probe);
  }

  if (regular) {
    // Beside the target, so that the rename stays within one file system.
    // The base is shortened so that the name fits any file system's limit.
    std::string temp = FolderOf(target_) + "/." + BaseOf(target_).substr(0, 200) + ".XXXXXX";
    SignalsBlocked blocked;
    fd_ = mkostemp(temp.data(), O_CLOEXEC);
    if (fd_ < 0) {
      // Only a folder that refuses new files sends a writable file to be
      // written in place; on a full disk, say, that would destroy it.
      if (!exists || (errno != EACCES && errno != EPERM)) return Open::kFailed;
    } else {
      temp_ = temp;
      // One file at a time is announced; the program never writes two.
      if (!gUnfinishedSet && temp.size() < sizeof gUnfinished) {
        std::memcpy(gUnfinished, temp.c_str(), temp.size() + 1);
        gUnfinishedSet = 1;
      }
      if (exists) {
        // As the file it replaces, as far as we may: owner, group and mode.
        if (st.st_uid != geteuid() || st.st_gid != getegid())
          (void)!fchown(fd_, st.st_uid, st.st_gid);
        fchmod(fd_, st.st_mode & 07777);
      } else {
        fchmod(fd_, NewFileMode());
      }
      inPlace_ = false;
      seekable_ = true;
      position_ = 0;
      return Open::kOpened;
    }
  }

  // In place: not a regular file, or a folder that takes no new file.
  if (!allowInPlace) return Open::kInPlaceOnly;
  fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd_ < 0) return Open::kFailed;
  inPlace_ = true;
  seekable_ = lseek(fd_, 0, SEEK_CUR) >= 0;
  position_ = 0;
  return Open::kOpened;
}

bool OutputFile::WriteAt(const void* data, size_t size, uint64_t offset) {
  if (fd_ < 0 || (!seekable_ && offset != position_)) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = seekable_ ? pwrite(fd_, p, size, static_cast<off_t>(offset))
                                : write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  position_ = offset;
  return true;
}

bool OutputFile::Commit() {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  // close() reports what delayed writes to some file systems (NFS) found.
  // There is no fsync: a file that survives the program is what is
  // promised, not one that survives a power cut, and an fsync would make
  // every conversion wait for the disk.
  bool ok = close(fd) == 0;
  if (inPlace_) return ok;
  SignalsBlocked blocked;
  ok = ok && rename(temp_.c_str(), target_.c_str()) == 0;
  if (!ok) unlink(temp_.c_str());
  if (gUnfinishedSet && temp_ == gUnfinished) gUnfinishedSet = 0;
  temp_.clear();
  return ok;
}

void OutputFile::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (inPlace_) return;
  SignalsBlocked blocked;
  unlink(temp_.c_str());
  if (gUnfinishedSet && temp_ == gUnfinished) gUnfinishedSet = 0;
  temp_.clear();
}

void OutputFile::RemoveUnfinished() {
  if (gUnfinishedSet) unlink(gUnfinished);
}
