// Starting the program on Windows: CreateProcessW with the arguments quoted
// as the C runtime splits them, standard output through a pipe. The
// program is corvalin.exe beside the test program.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "support.h"

namespace {

std::wstring Widen(const std::string& s) { return std::filesystem::u8path(s).wstring(); }

// One argument as CommandLineToArgvW and the C runtime will split it back.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (size_t k = 0;; ++k) {
    size_t backslashes = 0;
    while (k < arg.size() && arg[k] == L'\\') ++k, ++backslashes;
    if (k == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    out.append(arg[k] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    out.push_back(arg[k]);
  }
  return out + L"\"";
}

std::wstring Program() {
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"corvalin.exe";
}

// CR LF becomes "\n"; a bare line feed is marked, so that it cannot pass.
std::string Lines(const std::string& raw) {
  std::string out;
  for (size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] == '\r' && k + 1 < raw.size() && raw[k + 1] == '\n') continue;
    if (raw[k] == '\n' && (k == 0 || raw[k - 1] != '\r')) out += "<LF without CR>";
    out += raw[k];
  }
  return out;
}

}  // namespace

Child::Child(const std::string& dir, const std::vector<std::string>& args, const RunOptions& options) {
  if (options.addressSpaceLimit || options.fileSizeLimit || options.asNobody || options.umask >= 0 ||
      !options.ignoredSignals.empty() || options.outputReaderGone)
    throw std::invalid_argument("run options are for POSIX systems");
  const std::wstring program = Program();
  std::wstring line = Quote(program);
  for (const std::string& a : args) line += L" " + Quote(Widen(a));

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 16)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  const std::wstring folder = Widen(dir);
  // Wine refuses a start now and then while other Wine programs come and
  // go; a start refused is tried again (never a program that started).
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(200 * attempt);
    started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                             &startup, &process);
  }
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    throw std::runtime_error("cannot start corvalin.exe");
  }
  CloseHandle(process.hThread);
  process_ = reinterpret_cast<intptr_t>(process.hProcess);
  output_ = reinterpret_cast<intptr_t>(readEnd);
}

Child::~Child() {
  if (process_ != -1) {
    Kill();
    WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(process_));
  }
  if (output_ != -1) CloseHandle(reinterpret_cast<HANDLE>(output_));
}

void Child::Kill() {
  if (process_ != -1) TerminateProcess(reinterpret_cast<HANDLE>(process_), 9);
}

RunResult Child::Wait(int* signal) {
  std::string raw;
  char chunk[4096];
  DWORD n;
  while (ReadFile(reinterpret_cast<HANDLE>(output_), chunk, sizeof chunk, &n, nullptr) && n > 0)
    raw.append(chunk, n);
  const HANDLE process = reinterpret_cast<HANDLE>(process_);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  process_ = -1;
  if (signal) *signal = 0;
  RunResult result;
  result.status = static_cast<int>(code);
  result.output = Lines(raw);
  return result;
}

HeldFile::HeldFile(const std::string& path) {
  const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) handle_ = reinterpret_cast<intptr_t>(h);
}

HeldFile::~HeldFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
