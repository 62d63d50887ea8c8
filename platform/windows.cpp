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
#include <string>
#include <utility>

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
  // Files and pipes are read; a device never is, whatever its name looks
  // like (NUL, COM1 or aux.hdr, which Windows takes for the device AUX):
  // none holds a picture, and reading one may never end.
  const DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
    CloseHandle(h);
    return Status{Result::kCannotOpen, ERROR_BAD_FILE_TYPE};
  }
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

Status Failed(DWORD error) { return Status{Result::kWriteFailed, static_cast<int>(error)}; }

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

// The path an open handle's file has, links followed (\\?\ form).
std::wstring FinalPath(HANDLE h, const std::wstring& otherwise) {
  std::wstring path(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(h, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
  return n == 0 || n >= path.size() ? otherwise : path.substr(0, n);
}

// Runs attempt until it succeeds, or fails other than because another
// program has the file open for a moment (a conversion that is just putting
// its file in place, a viewer, a virus scanner): for a second at most.
// busy: the error that says so besides a sharing violation.
template <typename Attempt>
bool WhileBusy(Attempt attempt, DWORD busy) {
  for (int tries = 0;; ++tries) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (tries == 100 || (error != busy && error != ERROR_SHARING_VIOLATION)) return false;
    Sleep(10);
  }
}

// Gives the open file h the name target, replacing what is there (which
// cannot be done while another program has that open).
bool Rename(HANDLE h, const std::wstring& target) {
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), info->FileName);
  return WhileBusy([&] { return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size())); },
                   ERROR_ACCESS_DENIED);
}

}  // namespace

OutputTarget FindOutputTarget(const std::string& name) {
  // What the name opens decides, whatever its spelling (\\.\T:\x.tif is a
  // file; NUL a device). A file is found by the path its handle has, links
  // followed; a new one in its folder as the system names that.
  OutputTarget t;
  std::wstring path = SystemPath(name);
  HANDLE h = INVALID_HANDLE_VALUE;
  WhileBusy([&] {
    h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h != INVALID_HANDLE_VALUE;
  }, ERROR_SHARING_VIOLATION);
  const DWORD error = GetLastError();
  BY_HANDLE_FILE_INFORMATION info = {};
  if (h != INVALID_HANDLE_VALUE) {
    const bool file = GetFileType(h) == FILE_TYPE_DISK;
    t.kind = file ? PathKind::kRegular : PathKind::kOther;
    // An administrator could open a file marked read-only.
    if (file && GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
      t.writable = Failed(ERROR_ACCESS_DENIED);
    if (file) path = FinalPath(h, path);
    CloseHandle(h);
  } else if (error != ERROR_FILE_NOT_FOUND) {  // a folder, a file no one may write
    t.kind = KindOf(name);
    t.writable = Failed(error);
  } else if ((h = CreateFileW(FolderOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) != INVALID_HANDLE_VALUE) {
    path = FinalPath(h, FolderOf(path)) + path.substr(FolderOf(path).size());
    CloseHandle(h);
  }
  t.path = Narrow(path);
  t.folder = Narrow(FolderOf(path) + L"\\");
  return t;
}

bool NameTaken(const Status& failure) {
  return failure.osError == ERROR_FILE_EXISTS || failure.osError == ERROR_ALREADY_EXISTS;
}
// A name being deleted refuses a new file as a folder that takes none does.
bool Refused(const Status& failure) { return failure.osError == ERROR_ACCESS_DENIED; }

void RemoveUnheld(const std::string& path) {
  // Each conversion holds its file open and lets no one else open it.
  const HANDLE h = CreateFileW(SystemPath(path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DeleteOnClose(h, true);
  CloseHandle(h);
}

bool SpaceAvailable(const std::string& folder, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(SystemPath(folder).c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

Status OutputHandle::CreateUnnamed(const std::string&) { return Failed(ERROR_NOT_SUPPORTED); }

Status OutputHandle::Opened(intptr_t handle, bool fresh) {
  handle_ = handle;
  fresh_ = fresh;
  seekable_ = holes_ = GetFileType(AsHandle(handle)) == FILE_TYPE_DISK;
  position_ = 0;
  return Status{};
}

Status OutputHandle::CreateNamed(const std::string& path) {
  Close();
  AcquireSRWLockExclusive(&gReplacing);
  const HANDLE h = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  const Status s = h == INVALID_HANDLE_VALUE ? Failed(GetLastError()) : Opened(FromHandle(h), true);
  if (s.ok()) {
    // Gone with the last handle, however the program ends, until MoveTo
    // takes this back.
    DeleteOnClose(h, true);
    gUnfinished = h;
    name_ = path;
  }
  ReleaseSRWLockExclusive(&gReplacing);
  return s;
}

Status OutputHandle::OpenInPlace(const std::string& path) {
  Close();
  const HANDLE h = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed(GetLastError());
  // A file starts empty; a device (NUL) is written as it is.
  if (GetFileType(h) == FILE_TYPE_DISK && !SetEndOfFile(h)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    return Failed(error);
  }
  return Opened(FromHandle(h), false);
}

Status OutputHandle::SetSize(uint64_t bytes) {
  if (!IsOpen() || !holes_ || bytes > static_cast<uint64_t>(INT64_MAX)) return Failed(ERROR_INVALID_PARAMETER);
  // Past the end the system gives zeros: NTFS keeps a valid-data length and
  // writes no zeros for the rest.
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
  if (SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &end, sizeof end)) return Status{};
  return Failed(GetLastError());
}

Status OutputHandle::WriteAt(const void* data, size_t size, uint64_t offset) {
  if (!IsOpen() || (!seekable_ && offset != position_)) return Failed(ERROR_INVALID_HANDLE);
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

// NTFS writes a file out in its own time; a new file takes its folder's permissions.
void OutputHandle::StartWriteback(uint64_t, uint64_t) {}
void OutputHandle::TakeOver(const std::string&) {}
Status OutputHandle::Link(const std::string&) { return Failed(ERROR_NOT_SUPPORTED); }

Status OutputHandle::MoveTo(const std::string& target) {
  if (!IsOpen() || !fresh_) return Failed(ERROR_INVALID_HANDLE);
  AcquireSRWLockExclusive(&gReplacing);
  // The file takes its name while it is still open, the delete mark taken
  // back just before: a kill can leave it under its temporary name only
  // between those two calls. The rename fails with both files as they
  // were (a viewer holding the old one open without letting it be deleted,
  // say); then the mark goes back on, and the file goes with the handle.
  const HANDLE h = AsHandle(handle_);
  Status s;
  if (!DeleteOnClose(h, false) || !Rename(h, SystemPath(target))) {
    s = Failed(GetLastError());
    DeleteOnClose(h, true);
  }
  gUnfinished = nullptr;
  fresh_ = false;
  ReleaseSRWLockExclusive(&gReplacing);
  const Status closed = Close();
  return s.ok() ? closed : s;
}

Status OutputHandle::Close() {
  if (!IsOpen()) return Status{};
  AcquireSRWLockExclusive(&gReplacing);
  const HANDLE h = AsHandle(std::exchange(handle_, -1));
  if (gUnfinished == h) gUnfinished = nullptr;
  const Status s = CloseHandle(h) ? Status{} : Failed(GetLastError());
  if (fresh_) DeleteFileW(SystemPath(name_).c_str());  // where the delete mark could not be set
  ReleaseSRWLockExclusive(&gReplacing);
  fresh_ = false;
  name_.clear();
  return s;
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

int Conversion::Processors() { return static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)); }

intptr_t Conversion::TakePlace(int k) {
  // A mutex lives while any process holds it open.
  const std::wstring name = L"corvalin-conversion-" + std::to_wstring(k);
  SetLastError(0);
  HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
  if (!h) return -1;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return FromHandle(h);
  CloseHandle(h);
  return kHeld;
}

void Conversion::Leave(intptr_t place) { CloseHandle(AsHandle(place)); }

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
