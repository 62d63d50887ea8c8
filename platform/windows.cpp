// The platform layer on Windows (Windows 7 and later, x86-64).
//
// Names arrive as UTF-8 and become UTF-16 at each call, made absolute and
// given the \\?\ prefix, so that paths of any length, UNC paths, drive
// letters and ..\ all work as they would at a prompt.
//
// The unfinished output file is marked to be deleted when its last handle
// closes, which the system does however the process ends (Ctrl-C, a closed
// console, TerminateProcess); the mark is taken back just before the file
// replaces the old one.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

bool StartsWith(const std::wstring& s, const wchar_t* head) { return s.rfind(head, 0) == 0; }

// A name as the file calls take it: absolute (which also settles ..\ and
// turns / into \), with the prefix that lifts the 260-character limit.
// Device names (\\.\NUL) are left as the system gives them.
std::wstring SystemPath(const std::string& name) {
  const std::wstring wide = Widen(name);
  if (wide.empty() || StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return wide;
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return wide;
  full.resize(n);
  if (StartsWith(full, L"\\\\.\\") || StartsWith(full, L"\\\\?\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  return L"\\\\?\\" + full;
}

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int k = 0; k < count; ++k) arguments.push_back(Narrow(wide[k]));
  LocalFree(wide);
  return arguments;
}

void WriteOutput(const char* text, size_t size) {
  static const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  static const bool console = out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode);
  if (!console) {
    // A file or a pipe: UTF-8, with the C runtime's text mode turning each
    // line feed into CR LF.
    std::fwrite(text, 1, size, stdout);
    return;
  }
  std::wstring line;
  for (wchar_t c : Widen(std::string(text, size))) {
    if (c == L'\n') line += L'\r';
    line += c;
  }
  for (size_t done = 0; done < line.size();) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(line.size() - done, 8192));
    if (!WriteConsoleW(out, line.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

PathKind KindOf(const std::string& name) {
  const DWORD attributes = GetFileAttributesW(SystemPath(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
  return attributes & FILE_ATTRIBUTE_DEVICE ? PathKind::kOther : PathKind::kRegular;
}

// ---- Input

Status InputFile::Open(const std::string& name) {
  Close();
  // A folder cannot be opened this way (that needs FILE_FLAG_BACKUP_SEMANTICS).
  const HANDLE h = CreateFileW(SystemPath(name).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Status{Result::kCannotOpen, static_cast<int>(GetLastError())};
  handle_ = FromHandle(h);
  return Status{};
}

int64_t InputFile::Read(void* buffer, size_t size) {
  if (handle_ == kNone) return -1;
  DWORD got = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  if (ReadFile(AsHandle(handle_), buffer, chunk, &got, nullptr)) return got;
  const DWORD error = GetLastError();
  return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? 0 : -1;
}

void InputFile::Close() {
  if (handle_ != kNone) CloseHandle(AsHandle(handle_));
  handle_ = kNone;
}

// ---- Output

namespace {

// Held while a finished file takes its name, and by an interruption, which
// so waits for that to end one way or the other and lets none begin.
SRWLOCK gReplacing = SRWLOCK_INIT;
// The unfinished file's handle, for an interruption to mark once more.
HANDLE gUnfinished = nullptr;

// Whether the file goes when its last handle closes.
bool DeleteOnClose(HANDLE h, bool remove) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring BaseOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Six hexadecimal digits that differ from run to run and from try to try.
std::wstring Unique(unsigned attempt) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  uint32_t x = static_cast<uint32_t>(now.QuadPart) ^ (GetCurrentProcessId() * 2654435761u) ^ (attempt * 40503u);
  x ^= x >> 16;
  x *= 0x7feb352d;
  x ^= x >> 15;
  wchar_t digits[7];
  for (int k = 0; k < 6; ++k) digits[k] = L"0123456789abcdef"[(x >> (4 * k)) & 15];
  digits[6] = L'\0';
  return digits;
}

}  // namespace

bool SpaceAvailable(const std::string& name, uint64_t* bytes) {
  const std::wstring target = SystemPath(name);
  if (StartsWith(target, L"\\\\.\\")) return false;  // a device
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return false;
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW((FolderOf(target) + L"\\").c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

OutputFile::~OutputFile() { Abandon(); }

namespace {

Status Failed(DWORD error) { return Status{Result::kWriteFailed, static_cast<int>(error)}; }

}  // namespace

Status OutputFile::Opened(intptr_t handle, bool inPlace) {
  handle_ = handle;
  inPlace_ = inPlace;
  seekable_ = !inPlace || GetFileType(AsHandle(handle)) == FILE_TYPE_DISK;
  holes_ = seekable_;
  position_ = 0;
  return Status{};
}

Status OutputFile::Start(const std::string& name) {
  Abandon();
  onlyInPlace_ = false;
  target_ = name;
  const std::wstring target = SystemPath(name);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return Failed(ERROR_DIRECTORY);
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) return Failed(ERROR_ACCESS_DENIED);
  bool regular = !StartsWith(target, L"\\\\.\\");
  if (exists) {
    // A file that could not be overwritten in place is not replaced either:
    // one marked read-only, or held open by a program that lets no one
    // else write it.
    const HANDLE probe = CreateFileW(target.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return Failed(GetLastError());
    regular = regular && GetFileType(probe) == FILE_TYPE_DISK;
    CloseHandle(probe);
  }
  if (!regular) {  // a device
    onlyInPlace_ = true;
    return Failed(0);
  }
  // Beside the target, so that the replace stays within one volume.
  const std::wstring stem = FolderOf(target) + L"\\." + BaseOf(target).substr(0, 200) + L".";
  DWORD error = ERROR_FILE_EXISTS;
  for (unsigned attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    const std::wstring temp = stem + Unique(attempt);
    AcquireSRWLockExclusive(&gReplacing);
    const HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      // Gone with the last handle, however the program ends, until
      // Commit takes this back.
      DeleteOnClose(h, true);
      gUnfinished = h;
      ReleaseSRWLockExclusive(&gReplacing);
      temp_ = Narrow(temp);
      return Opened(FromHandle(h), false);
    }
    error = GetLastError();
    ReleaseSRWLockExclusive(&gReplacing);
  }
  // Only a folder that refuses new files sends a writable file to be
  // written in place; on a full disk, say, that would destroy it.
  onlyInPlace_ = exists && error == ERROR_ACCESS_DENIED;
  return Failed(error);
}

Status OutputFile::StartInPlace(const std::string& name) {
  Abandon();
  onlyInPlace_ = false;
  const std::wstring target = SystemPath(name);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool device = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE);
  const HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               device || StartsWith(target, L"\\\\.\\") ? OPEN_EXISTING : CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  return Opened(FromHandle(h), true);
}

Status OutputFile::SetSize(uint64_t bytes) {
  if (!CanHaveHoles() || bytes > static_cast<uint64_t>(INT64_MAX)) return Failed(ERROR_INVALID_PARAMETER);
  // Past the end the system gives zeros: NTFS keeps a valid-data length and
  // writes no zeros for the rest.
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
  if (SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &end, sizeof end)) return Status{};
  return Failed(GetLastError());
}

Status OutputFile::WriteAt(const void* data, size_t size, uint64_t offset) {
  if (handle_ == -1 || (!seekable_ && offset != position_)) return Failed(ERROR_INVALID_HANDLE);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    BOOL ok;
    if (seekable_) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      ok = WriteFile(AsHandle(handle_), p, chunk, &written, &at);
    } else {
      ok = WriteFile(AsHandle(handle_), p, chunk, &written, nullptr);
    }
    if (!ok || written == 0) return Failed(ok ? ERROR_DISK_FULL : GetLastError());
    p += written;
    size -= written;
    offset += written;
  }
  position_ = offset;
  return Status{};
}

Status OutputFile::Commit() {
  if (handle_ == -1) return Failed(ERROR_INVALID_HANDLE);
  const HANDLE h = AsHandle(handle_);
  handle_ = -1;
  // No FlushFileBuffers, as no fsync elsewhere: the file outlives the
  // program, not a power cut.
  if (inPlace_) return CloseHandle(h) ? Status{} : Failed(GetLastError());
  const std::wstring temp = Widen(temp_), target = SystemPath(target_);
  AcquireSRWLockExclusive(&gReplacing);
  gUnfinished = nullptr;
  // One rename, which fails with both files as they were (a viewer holding
  // the old one open without letting it be deleted, say). ReplaceFileW
  // would keep the old file's attributes and permissions, but may leave a
  // backup file of its own behind when it fails.
  Status status;
  if (!DeleteOnClose(h, false) || !CloseHandle(h) ||
      !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    status = Failed(GetLastError());
    DeleteFileW(temp.c_str());
  }
  ReleaseSRWLockExclusive(&gReplacing);
  temp_.clear();
  return status;
}

void OutputFile::Abandon() {
  if (handle_ == -1) return;
  const HANDLE h = AsHandle(handle_);
  handle_ = -1;
  if (inPlace_) {
    CloseHandle(h);
    return;
  }
  AcquireSRWLockExclusive(&gReplacing);
  if (gUnfinished == h) gUnfinished = nullptr;
  CloseHandle(h);
  DeleteFileW(Widen(temp_).c_str());  // where the mark could not be set
  ReleaseSRWLockExclusive(&gReplacing);
  temp_.clear();
}

// ---- Interruptions

namespace {

// Runs on a thread of its own, and ends the process with the status the
// default handler gives (STATUS_CONTROL_C_EXIT), for Ctrl-C, Ctrl-Break and
// a closed console alike. The lock, never released, lets no replace begin
// or be cut short. Ending at once, as the signal's default does on POSIX
// systems, leaves no other thread holding a lock the exit would wait for;
// the system closes the file, which takes it away.
BOOL WINAPI OnInterrupt(DWORD) {
  AcquireSRWLockExclusive(&gReplacing);
  if (gUnfinished) DeleteOnClose(gUnfinished, true);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void CleanUpOnInterrupt() {
  // A process started with Ctrl-C ignored never sees it; this changes
  // nothing about that.
  SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

// The handler runs on a thread the system starts for it, never on ours.
std::thread StartThread(std::function<void()> work) { return std::thread(std::move(work)); }

// ---- Memory

LargeBlock::LargeBlock(uint64_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX - kLargePage) return;
  // Committed memory is zero; large pages would need a privilege that
  // ordinary accounts lack.
  void* p = VirtualAlloc(nullptr, static_cast<size_t>(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p) return;
  mapping_ = p;
  size_ = static_cast<size_t>(bytes);
  data_ = static_cast<uint8_t*>(p);
}

LargeBlock::~LargeBlock() {
  if (mapping_) VirtualFree(mapping_, 0, MEM_RELEASE);
}

bool PrepareMemory(uint8_t*, size_t) { return false; }

}  // namespace platform
