// Times corvalin against the I/O floor (bench_floor: read the input, fill the
// output buffer, one fwrite) side by side, on inputs it makes itself.
//
//   corvalin_bench [--pairs N] [--sizes 2048x1024,8192x4096,16384x8192]
//                  [--dir FOLDER]
//
// For every size it writes the generated scene run-length and flat (once;
// they are kept in FOLDER), checks corvalin's TIFF float by float, then runs
// floor and corvalin alternately N times each and reports medians: wall and
// CPU time, output MB/s, peak resident memory, and the ratio corvalin / floor.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/hdr_encode.h"

namespace {

struct Run {
  double wall = 0, cpu = 0;  // seconds; cpu is user + system
  double rssMiB = 0;
  int status = -1;
};

Run Time(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);  // or the child would print our buffered lines again
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  Run r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
          usage.ru_stime.tv_usec * 1e-6;
  r.rssMiB = usage.ru_maxrss / 1024.0;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Exe(const std::string& name) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, n) : std::string("./corvalin_bench");
  dir.resize(dir.rfind('/'));
  return dir + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Name(int w, int h, Encoding e) {
  return "scene-" + std::to_string(w) + "x" + std::to_string(h) + (e == Encoding::kFlat ? "-flat" : "-rle");
}

// Writes the scene once; returns the share of run-length bytes in runs.
void MakeInput(const std::string& path, int w, int h, Encoding e) {
  if (Exists(path)) return;
  const std::string tmp = path + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    std::perror(tmp.c_str());
    std::exit(1);
  }
  const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(h) + " +X " +
                             std::to_string(w) + "\n";
  std::fwrite(header.data(), 1, header.size(), f);
  for (int y = 0; y < h; ++y) {
    const Bytes line = EncodeScanline(SceneRow(w, h, y, 1), e);
    std::fwrite(line.data(), 1, line.size(), f);
  }
  if (std::fclose(f) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

// Share of a run-length file's pixel bytes that sit in runs.
double RunShare(int w, int h) {
  uint64_t inRuns = 0, total = 0;
  for (int y = 0; y < h; y += std::max(1, h / 64)) {
    const Bytes line = EncodeScanline(SceneRow(w, h, y, 1), Encoding::kRunLength);
    for (size_t i = 4; i < line.size();) {
      const int code = line[i];
      if (code > 128) {
        inRuns += code & 127;
        i += 2;
      } else {
        i += 1 + code;
      }
    }
    total += static_cast<uint64_t>(w) * 4;
  }
  return static_cast<double>(inRuns) / total;
}

// Every float of the TIFF against the scene's RGBE bytes, the long way.
bool Check(const std::string& tif, int w, int h) {
  FILE* f = std::fopen(tif.c_str(), "rb");
  if (!f) return false;
  const long pixelsAt = 247;
  std::fseek(f, 0, SEEK_END);
  const bool sized = std::ftell(f) == pixelsAt + static_cast<long>(w) * h * 12;
  std::fseek(f, pixelsAt, SEEK_SET);
  std::vector<float> row(static_cast<size_t>(w) * 3);
  bool ok = sized;
  for (int y = 0; ok && y < h; ++y) {
    ok = std::fread(row.data(), 4, row.size(), f) == row.size();
    const Bytes rgbe = SceneRow(w, h, y, 1);
    for (size_t k = 0; ok && k < row.size(); ++k) {
      const uint8_t e = rgbe[k / 3 * 4 + 3];
      const float want = e ? static_cast<float>((rgbe[k / 3 * 4 + k % 3] + 0.5) * std::ldexp(1.0, e - 136)) : 0.0f;
      ok = std::memcmp(&row[k], &want, 4) == 0;
    }
  }
  std::fclose(f);
  return ok;
}

struct Summary {
  double wall = 0, rss = 0;
};

Summary Bench(const std::string& dir, int w, int h, Encoding e, int pairs) {
  const std::string input = dir + "/" + Name(w, h, e) + ".hdr";
  const std::string output = dir + "/" + Name(w, h, e) + ".tif";
  const std::string floorOut = dir + "/floor.out";
  MakeInput(input, w, h, e);
  const std::vector<std::string> corvalin = {Exe("../corvalin"), input};
  const std::vector<std::string> floor = {Exe("bench_floor"), input, floorOut, std::to_string(w),
                                          std::to_string(h)};
  std::remove(output.c_str());
  if (Time(corvalin).status != 0 || !Check(output, w, h)) {
    std::printf("%s: corvalin's TIFF is WRONG\n", Name(w, h, e).c_str());
    std::exit(1);
  }
  Time(floor);  // warm-up: both now find the input in the page cache
  std::vector<double> ratio, cw, cc, cr, fw, fc, fr;
  std::remove(floorOut.c_str());
  std::remove(output.c_str());
  for (int i = 0; i < pairs; ++i) {
    // Each output is removed right after its run, so that neither program
    // starts while the other's file is still being put in the page cache.
    const Run f = Time(floor);
    std::remove(floorOut.c_str());
    const Run c = Time(corvalin);
    std::remove(output.c_str());
    if (c.status != 0 || f.status != 0) {
      std::printf("a run failed\n");
      std::exit(1);
    }
    ratio.push_back(c.wall / f.wall);
    cw.push_back(c.wall), cc.push_back(c.cpu), cr.push_back(c.rssMiB);
    fw.push_back(f.wall), fc.push_back(f.cpu), fr.push_back(f.rssMiB);
  }
  std::remove(floorOut.c_str());
  std::remove(output.c_str());
  const double outMB = (247 + static_cast<double>(w) * h * 12) / 1e6;
  const double limitMiB = static_cast<double>(w) * h * 12 / 1048576.0 + 8;
  std::printf("%-24s  corvalin %6.3f s wall %6.3f s cpu %7.0f MB/s %7.1f MiB   floor %6.3f s wall %6.3f s cpu "
              "%7.1f MiB   ratio %.3f%s   rss limit %.1f MiB%s\n",
              Name(w, h, e).c_str(), Median(cw), Median(cc), outMB / Median(cw), Median(cr), Median(fw),
              Median(fc), Median(fr), Median(ratio), Median(ratio) <= 1.0 ? " (<= 1)" : " (> 1)", limitMiB,
              Median(cr) <= limitMiB ? "" : " EXCEEDED");
  std::fflush(stdout);
  return Summary{Median(cw), Median(cr)};
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 7;
  std::string sizes = "2048x1024,8192x4096,16384x8192";
  std::string dir = Exe("bench-data");
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--pairs") pairs = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--sizes") sizes = argv[i + 1];
    else if (flag == "--dir") dir = argv[i + 1];
  }
  mkdir(dir.c_str(), 0755);

  // Start-up cost, taken off before comparing cost per pixel across sizes.
  const Summary tiny = Bench(dir, 8, 8, Encoding::kRunLength, pairs);
  std::vector<std::pair<double, Summary>> perSize;  // pixels, run-length result
  for (size_t at = 0; at < sizes.size();) {
    size_t comma = sizes.find(',', at);
    if (comma == std::string::npos) comma = sizes.size();
    int w = 0, h = 0;
    if (std::sscanf(sizes.substr(at, comma - at).c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
      std::printf("%dx%d: %.0f %% of run-length bytes in runs\n", w, h, 100 * RunShare(w, h));
      perSize.emplace_back(static_cast<double>(w) * h, Bench(dir, w, h, Encoding::kRunLength, pairs));
      Bench(dir, w, h, Encoding::kFlat, pairs);
    }
    at = comma + 1;
  }
  if (perSize.size() >= 2) {
    const auto& small = perSize.front();
    const auto& big = perSize.back();
    auto ns = [&](const std::pair<double, Summary>& s) { return (s.second.wall - tiny.wall) / s.first * 1e9; };
    auto bytes = [&](const std::pair<double, Summary>& s) { return (s.second.rss - tiny.rss) * 1048576 / s.first; };
    std::printf("per pixel after start-up (run-length), smallest -> largest size: wall %.2f -> %.2f ns (%+.1f %%), "
                "memory %.2f -> %.2f bytes (%+.1f %%)\n",
                ns(small), ns(big), 100 * (ns(big) / ns(small) - 1), bytes(small), bytes(big),
                100 * (bytes(big) / bytes(small) - 1));
  }
  return 0;
}
