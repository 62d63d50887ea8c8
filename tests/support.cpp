#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

const char kBanner[] =
    "Corvalin - Radiance HDR to floating-point TIFF converter\n"
    "https://corvalin.example.org/\n"
    "\n";

Bytes GradientPicture(int width, int height, uint32_t seed) {
  Bytes out(static_cast<size_t>(width) * height * 4);
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
      state = state * 1664525u + 1013904223u;
      // Sky: a gradient in blocks of 4 pixels, so runs appear; ground: noise.
      const bool ground = y * 3 >= height * 2;
      p[0] = static_cast<uint8_t>(ground ? (state >> 24) : 40 + (x / 4) % 200);
      p[1] = static_cast<uint8_t>(ground ? (state >> 16) : 80 + y % 150);
      p[2] = static_cast<uint8_t>(ground ? (state >> 8) : 200);
      p[3] = static_cast<uint8_t>(ground ? 126 + (state >> 30) : 128);
      if ((x * 7 + y * 13 + static_cast<int>(seed)) % 97 == 0) p[3] = 140;  // bright
    }
  }
  return out;
}

std::vector<Bytes> Rows(const Bytes& picture, int width) {
  std::vector<Bytes> rows;
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  for (size_t at = 0; at < picture.size(); at += rowBytes)
    rows.emplace_back(picture.begin() + at, picture.begin() + at + rowBytes);
  return rows;
}

float ReferenceFloat(uint8_t mantissa, uint8_t exponent) {
  if (exponent == 0) return 0.0f;
  return static_cast<float>((mantissa + 0.5) * std::ldexp(1.0, exponent - 136));
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/corvalin-test-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

bool ReadFile(const std::string& path, Bytes* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes->clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Child::Child(const std::string& dir, const std::vector<std::string>& args,
             const RunOptions& options) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ == 0) {
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
    argv.push_back(const_cast<char*>(CORVALIN_EXE));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(CORVALIN_EXE, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  output_ = pipeFds[0];
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
}

RunResult Child::Wait(int* signal) {
  RunResult result;
  char chunk[4096];
  ssize_t n;
  while ((n = read(output_, chunk, sizeof chunk)) > 0) result.output.append(chunk, n);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      const RunOptions& options) {
  return Child(dir, args, options).Wait();
}

RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      uint64_t addressSpaceLimit) {
  RunOptions options;
  options.addressSpaceLimit = addressSpaceLimit;
  return RunCorvalin(dir, args, options);
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ResolutionLine(int w, int h) {
  return "-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
}

std::string Announcement(const std::string& input, const std::string& output) {
  return std::string(kBanner) + "Converting \"" + input + "\" to \"" + output + "\" ...\n";
}

bool ReadTiff(const std::string& path, TiffImage* image, std::string* error) {
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) {
    *error = "libtiff cannot open " + path;
    return false;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image->width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image->height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image->bitsPerSample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image->samplesPerPixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &image->sampleFormat);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image->photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image->compression);
  const tmsize_t lineBytes = TIFFScanlineSize(tif);
  image->pixels.assign(static_cast<size_t>(image->width) * image->height * 3, 0.0f);
  bool ok = lineBytes == static_cast<tmsize_t>(image->width) * 12;
  for (uint32_t row = 0; ok && row < image->height; ++row)
    ok = TIFFReadScanline(tif, &image->pixels[static_cast<size_t>(row) * image->width * 3], row) == 1;
  TIFFClose(tif);
  if (!ok) *error = "libtiff cannot read the pixels of " + path;
  return ok;
}

uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
