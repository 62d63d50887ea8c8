// Starting the program on POSIX systems: fork and exec, with the limits,
// identity and signal dispositions a test asks for. Beyond POSIX.1-2008
// only setgroups (Linux, macOS and the BSDs have it) and, on Linux, mount.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <cstdlib>
#include <stdexcept>

#include "support.h"

namespace {

// The program as another user can start it. A checkout may lie in a folder
// that other users can't enter (mktemp -d makes such folders), so a run as
// nobody starts a copy in a folder of its own under /tmp, removed at exit.
class CopyForOthers {
 public:
  CopyForOthers() {
    char dir[] = "/tmp/corvalin-program-XXXXXX";
    if (!mkdtemp(dir)) return;
    dir_ = dir;
    chmod(dir, 0755);
    Bytes program;
    if (!ReadFile(CORVALIN_EXE, &program)) return;
    WriteFile(dir_ + "/corvalin", program);
    chmod((dir_ + "/corvalin").c_str(), 0755);
    path_ = dir_ + "/corvalin";
  }
  ~CopyForOthers() {
    if (!path_.empty()) unlink(path_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_.empty() ? fallback_ : path_; }

 private:
  std::string dir_, path_;
  const std::string fallback_ = CORVALIN_EXE;
};

const std::string& ProgramForOthers() {
  static const CopyForOthers copy;
  return copy.path();
}

}  // namespace

bool OthersCanRunTheProgram(std::string* why) {
  if (geteuid() != 0) {
    *why = "the tests must run as root to run the program as another user";
    return false;
  }
  RunOptions options;
  options.asNobody = true;
  const RunResult run = RunCorvalin("/", {}, options);
  if (run.status == 1 && run.output.rfind(kBanner, 0) == 0) return true;
  *why = "user nobody cannot start " + ProgramForOthers() + " (status " + std::to_string(run.status) + ")";
  return false;
}

Child::Child(const std::string& dir, const std::vector<std::string>& args,
             const RunOptions& options) {
  const std::string& program = options.asNobody ? ProgramForOthers() : std::string(CORVALIN_EXE);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    // A sanitizer report must not pass for one of the program's own statuses.
    setenv("ASAN_OPTIONS", "exitcode=86", 1);
    setenv("UBSAN_OPTIONS", "exitcode=87:print_stacktrace=1", 1);
    setenv("TSAN_OPTIONS", "exitcode=88", 1);
    if (options.addressSpaceLimit) {
      struct rlimit limit = {options.addressSpaceLimit, options.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (int s : options.ignoredSignals) signal(s, SIG_IGN);
    if (options.umask >= 0) umask(static_cast<mode_t>(options.umask));
    if (options.asNobody && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  output_ = pipeFds[0];
  if (options.outputReaderGone) {
    close(pipeFds[0]);
    output_ = -1;
  }
  process_ = pid;
}

Child::~Child() {
  if (process_ > 0) {
    kill(static_cast<pid_t>(process_), SIGKILL);
    waitpid(static_cast<pid_t>(process_), nullptr, 0);
  }
  if (output_ >= 0) close(static_cast<int>(output_));
}

void Child::Kill() {
  if (process_ > 0) kill(static_cast<pid_t>(process_), SIGKILL);
}

RunResult Child::Wait(int* signal) {
  RunResult result;
  char chunk[4096];
  ssize_t n;
  while (output_ >= 0 && (n = read(static_cast<int>(output_), chunk, sizeof chunk)) > 0) result.output.append(chunk, n);
  int status = 0;
  waitpid(static_cast<pid_t>(process_), &status, 0);
  process_ = -1;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

HeldFile::HeldFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX) == 0) handle_ = fd;
  else if (fd >= 0) close(fd);
}

HeldFile::~HeldFile() {
  if (handle_ != -1) close(static_cast<int>(handle_));
}

// A tmpfs is Linux's; elsewhere none is mounted, and the tests that need
// one say so as they skip.
SmallFileSystem::SmallFileSystem(const std::string& path, const std::string& options) : path_(path) {
  mkdir(path.c_str(), 0755);
#ifdef __linux__
  mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
#else
  (void)options;
#endif
}

SmallFileSystem::~SmallFileSystem() {
#ifdef __linux__
  if (mounted_) umount(path_.c_str());
#endif
}
