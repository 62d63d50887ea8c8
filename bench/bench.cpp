// Times corvalin against the I/O limit (bench_floor: read the input through
// a 1 MiB buffer, write the TIFF's bytes from one reused 1 MiB buffer), side
// by side, on scenes it generates itself.
//
//   corvalin_bench [--pairs N] [--sizes 2048x1024,8192x4096,16384x8192]
//                  [--xmajor 8192x4096] [--large 20000x18000] [--dir FOLDER]
//                  [--small 512x256] [--batch 300]
//                  [--windows corvalin.exe [--wine /usr/lib/wine/wine64]]
//
// Every size is written run-length and flat, plus one picture stored as
// columns (X-major). Inputs are made once and kept in FOLDER. Each of
// corvalin's TIFFs is checked float by float first. Then every round runs
// the two programs of a pair, in turns that alternate, each after its
// output was deleted and the dirty pages synced, so that neither pays for
// the other's writeback. Reported: the medians over rounds of wall time,
// of the ratio corvalin / floor, and the peak resident memory. The X-major
// picture is paired with the same scene stored by rows. The large picture,
// run-length, makes a BigTIFF past 4 GiB (4.3 GB at 20000 x 18000). A
// small picture is timed alone and as a batch (300 of them converted with
// the README's find | xargs recipe, against the same with bench_floor).
//
// With --windows, the Windows build runs under Wine against this one on the
// 8192 x 4096 run-length scene. Wine's own start is not the program's: the
// median time of the Windows program run with no argument is taken off its
// time, and its peak memory is shown beside that of the run without an
// argument.
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

// Where corvalin's TIFF has its pixels: after a classic header, or a
// BigTIFF's past 4 GiB.
long PixelsAt(int w, int h) { return 247 + uint64_t(w) * h * 12 > 0xffffffffu ? 349 : 247; }

struct Run {
  double wall = 0;    // seconds
  double rssMiB = 0;  // peak resident memory
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
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

double FileMB(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size / 1e6 : 0;
}

enum class Form { kRunLength, kFlat, kXMajor };

struct Picture {
  int w, h;
  Form form;
  std::string Name() const {
    static const char* const kSuffix[] = {"-rle", "-flat", "-xmajor"};
    return "scene-" + std::to_string(w) + "x" + std::to_string(h) + kSuffix[static_cast<int>(form)];
  }
};

[[noreturn]] void Fail(const std::string& what) {
  std::printf("%s\n", what.c_str());
  std::exit(1);
}

// Writes the scene once. X-major pictures store each column as a
// run-length scanline, top to bottom, left column first.
void MakeInput(const std::string& path, const Picture& p) {
  if (Exists(path)) return;
  const std::string tmp = path + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) Fail("cannot create " + tmp);
  const std::string w = std::to_string(p.w), h = std::to_string(p.h);
  const std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" +
                             (p.form == Form::kXMajor ? "+X " + w + " -Y " + h : "-Y " + h + " +X " + w) + "\n";
  std::fwrite(header.data(), 1, header.size(), f);
  if (p.form == Form::kXMajor) {
    Bytes scene;
    for (int y = 0; y < p.h; ++y) {
      const Bytes row = SceneRow(p.w, p.h, y, 1);
      scene.insert(scene.end(), row.begin(), row.end());
    }
    Bytes column(static_cast<size_t>(p.h) * 4);
    for (int x = 0; x < p.w; ++x) {
      for (int y = 0; y < p.h; ++y)
        std::memcpy(&column[static_cast<size_t>(y) * 4], &scene[(static_cast<size_t>(y) * p.w + x) * 4], 4);
      const Bytes line = EncodeScanline(column, Encoding::kRunLength);
      std::fwrite(line.data(), 1, line.size(), f);
    }
  } else {
    const Encoding e = p.form == Form::kFlat ? Encoding::kFlat : Encoding::kRunLength;
    for (int y = 0; y < p.h; ++y) {
      const Bytes line = EncodeScanline(SceneRow(p.w, p.h, y, 1), e);
      std::fwrite(line.data(), 1, line.size(), f);
    }
  }
  if (std::fclose(f) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) Fail("cannot write " + path);
}

// Every float of corvalin's TIFF against the scene's RGBE bytes, the long way.
bool Check(const std::string& tif, int w, int h) {
  FILE* f = std::fopen(tif.c_str(), "rb");
  if (!f) return false;
  std::fseek(f, 0, SEEK_END);
  bool ok = std::ftell(f) == PixelsAt(w, h) + static_cast<long>(w) * h * 12;
  std::fseek(f, PixelsAt(w, h), SEEK_SET);
  std::vector<float> row(static_cast<size_t>(w) * 3);
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

struct Program {
  std::vector<std::string> args;
  std::string output;                // deleted, and dirty pages synced, before every run
  std::vector<std::string> outputs = {};  // more of them, for a batch
};

void RemoveOutputs(const Program& p) {
  std::remove(p.output.c_str());
  for (const std::string& o : p.outputs) std::remove(o.c_str());
}

Run TimeClean(const Program& p) {
  RemoveOutputs(p);
  sync();
  const Run r = Time(p.args);
  if (r.status != 0) Fail("a run of " + p.args[0] + " failed");
  return r;
}

struct Pair {
  double wallA, wallB, ratio, rssA, rssB;  // medians of rounds; ratio: A / B
  double bestA, bestB;                     // the fastest run of each
};

// Rounds of A and B, A first in even rounds and B first in odd ones.
Pair Compare(const Program& a, const Program& b, int rounds) {
  std::vector<double> wa, wb, ratio;
  double rssA = 0, rssB = 0;
  TimeClean(b);  // warm-up: both now find the input in the page cache
  for (int i = 0; i < rounds; ++i) {
    Run ra, rb;
    if (i % 2 == 0) {
      ra = TimeClean(a);
      rb = TimeClean(b);
    } else {
      rb = TimeClean(b);
      ra = TimeClean(a);
    }
    wa.push_back(ra.wall), wb.push_back(rb.wall), ratio.push_back(ra.wall / rb.wall);
    rssA = std::max(rssA, ra.rssMiB), rssB = std::max(rssB, rb.rssMiB);
  }
  RemoveOutputs(a);
  RemoveOutputs(b);
  sync();
  return Pair{Median(wa), Median(wb), Median(ratio), rssA, rssB,
              *std::min_element(wa.begin(), wa.end()), *std::min_element(wb.begin(), wb.end())};
}

std::string Input(const std::string& dir, const Picture& p) { return dir + "/" + p.Name() + ".hdr"; }

Program Corvalin(const std::string& dir, const Picture& p) {
  return Program{{Exe("../corvalin"), Input(dir, p)}, dir + "/" + p.Name() + ".tif"};
}

Program Floor(const std::string& dir, const Picture& p) {
  return Program{{Exe("bench_floor"), Input(dir, p), dir + "/floor.out", std::to_string(p.w), std::to_string(p.h)},
                 dir + "/floor.out"};
}

// Makes the input and checks corvalin's TIFF of it.
void Prepare(const std::string& dir, const Picture& p) {
  MakeInput(Input(dir, p), p);
  const Program c = Corvalin(dir, p);
  std::remove(c.output.c_str());
  if (Time(c.args).status != 0 || !Check(c.output, p.w, p.h)) Fail(p.Name() + ": corvalin's TIFF is WRONG");
  std::remove(c.output.c_str());
}

int failures = 0;

const char* Verdict(bool met) {
  if (!met) ++failures;
  return met ? "ok" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 7;
  std::string sizes = "2048x1024,8192x4096,16384x8192";
  std::string xmajor = "8192x4096";
  std::string large = "20000x18000";
  std::string small = "512x256";
  int batch = 300;
  std::string dir = Exe("bench-data");
  std::string windows, wine = "/usr/lib/wine/wine64";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--pairs") pairs = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--sizes") sizes = argv[i + 1];
    else if (flag == "--xmajor") xmajor = argv[i + 1];
    else if (flag == "--large") large = argv[i + 1];
    else if (flag == "--small") small = argv[i + 1];
    else if (flag == "--batch") batch = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--dir") dir = argv[i + 1];
    else if (flag == "--windows") windows = argv[i + 1];
    else if (flag == "--wine") wine = argv[i + 1];
  }
  mkdir(dir.c_str(), 0755);
  std::printf("%d paired rounds a picture; outputs deleted and synced before every run\n", pairs);
  std::printf("medians of the rounds; best: each program's fastest run, and their ratio\n");
  std::printf("%-26s %9s %9s %9s %9s %9s %9s %9s  %s\n", "picture", "input MB", "corvalin", "floor", "ratio",
              "peak MiB", "best", "best", "targets (ratio <= 1.1 at 2048x1024, 1.25 from 8192x4096 on; memory <= 16 MiB)");

  for (size_t at = 0; at < sizes.size();) {
    size_t comma = sizes.find(',', at);
    if (comma == std::string::npos) comma = sizes.size();
    int w = 0, h = 0;
    if (std::sscanf(sizes.substr(at, comma - at).c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
      for (Form form : {Form::kRunLength, Form::kFlat}) {
        const Picture p{w, h, form};
        Prepare(dir, p);
        const Pair r = Compare(Corvalin(dir, p), Floor(dir, p), pairs);
        // 1.25 from 8192 x 4096 on, 1.1 from 2048 x 1024 on.
        const double pixels = static_cast<double>(w) * h;
        const double target = pixels >= 8192.0 * 4096 ? 1.25 : pixels >= 2048.0 * 1024 ? 1.1 : 0;
        const std::string ratio = target > 0 ? std::string("ratio ") + Verdict(r.ratio <= target) + ", " : "";
        std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  %smemory %s\n", p.Name().c_str(),
                    FileMB(Input(dir, p)), r.wallA, r.wallB, r.ratio, r.rssA, r.bestA, r.bestB, ratio.c_str(),
                    Verdict(r.rssA <= 16));
        std::fflush(stdout);
      }
    }
    at = comma + 1;
  }

  int w = 0, h = 0;
  if (std::sscanf(small.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
    // One small picture, then a batch of them as the README converts a
    // folder: find | xargs -P, one run a picture, against the same with
    // bench_floor run as corvalin is.
    const Picture p{w, h, Form::kRunLength};
    Prepare(dir, p);
    const Pair one = Compare(Corvalin(dir, p), Floor(dir, p), pairs);
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  ratio %s (<= 1.15)\n", p.Name().c_str(),
                FileMB(Input(dir, p)), one.wallA, one.wallB, one.ratio, one.rssA, one.bestA, one.bestB,
                Verdict(one.ratio <= 1.15));
    const std::string folder = dir + "/batch-" + std::to_string(w) + "x" + std::to_string(h);
    mkdir(folder.c_str(), 0755);
    std::vector<std::string> tiffs;
    for (int k = 0; k < batch; ++k) {
      const std::string name = folder + "/p" + std::to_string(k);
      if (!Exists(name + ".hdr")) {
        std::vector<Bytes> rows;
        for (int y = 0; y < h; ++y) rows.push_back(SceneRow(w, h, y, static_cast<uint32_t>(k + 1)));
        const Bytes hdr = MakeHdr("-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n", rows,
                                  Encoding::kRunLength);
        FILE* f = std::fopen((name + ".hdr").c_str(), "wb");
        if (!f || std::fwrite(hdr.data(), 1, hdr.size(), f) != hdr.size() || std::fclose(f) != 0)
          Fail("cannot write " + name + ".hdr");
      }
      tiffs.push_back(name + ".tif");
    }
    auto recipe = [&](const std::string& program) {
      return Program{{"/bin/sh", "-c",
                      "find '" + folder + "' -type f \\( -iname '*.hdr' -o -iname '*.pic' -o -iname '*.rgbe' \\) "
                      "-print0 | xargs -0 -n 1 -P \"$(nproc)\" '" + program + "'"},
                     "", tiffs};
    };
    const Pair all = Compare(recipe(Exe("../corvalin")), recipe(Exe("bench_floor")), pairs);
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9s %8.4fs %8.4fs  ratio %s (<= 1.15)\n",
                (std::to_string(batch) + " x " + std::to_string(w) + "x" + std::to_string(h) + ", xargs").c_str(),
                FileMB(folder + "/p0.hdr") * batch, all.wallA, all.wallB, all.ratio, "", all.bestA, all.bestB,
                Verdict(all.ratio <= 1.15));
    std::fflush(stdout);
  }
  if (std::sscanf(large.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
    const Picture p{w, h, Form::kRunLength};
    Prepare(dir, p);
    const Pair r = Compare(Corvalin(dir, p), Floor(dir, p), pairs);
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  a BigTIFF of %.2f GB: ratio %s, memory %s\n",
                p.Name().c_str(), FileMB(Input(dir, p)), r.wallA, r.wallB, r.ratio, r.rssA, r.bestA, r.bestB,
                (PixelsAt(w, h) + w * 12.0 * h) / 1e9, Verdict(r.ratio <= 1.25), Verdict(r.rssA <= 16));
    std::fflush(stdout);
  }
  if (std::sscanf(xmajor.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
    const Picture columns{w, h, Form::kXMajor}, rows{w, h, Form::kRunLength};
    Prepare(dir, columns);
    Prepare(dir, rows);
    const Pair r = Compare(Corvalin(dir, columns), Corvalin(dir, rows), pairs);
    const double limit = static_cast<double>(w) * h * 12 / 1048576 + 16;
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  against the same picture by rows: "
                "%s (<= 1.5); memory %s (<= %.0f MiB)\n",
                columns.Name().c_str(), FileMB(Input(dir, columns)), r.wallA, r.wallB, r.ratio, r.rssA, r.bestA,
                r.bestB, Verdict(r.ratio <= 1.5), Verdict(r.rssA <= limit), limit);
    const Pair f = Compare(Corvalin(dir, columns), Floor(dir, columns), pairs);
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  against the floor\n",
                columns.Name().c_str(), FileMB(Input(dir, columns)), f.wallA, f.wallB, f.ratio, f.rssA, f.bestA,
                f.bestB);
  }
  if (!windows.empty()) {
    const Picture p{8192, 4096, Form::kRunLength};
    Prepare(dir, p);
    const Program linux = Corvalin(dir, p);
    const Program win{{wine, windows, Input(dir, p)}, linux.output};
    std::vector<double> starts;
    double startRss = 0;
    for (int i = 0; i < std::max(pairs, 5); ++i) {
      const Run r = Time({wine, windows});  // the usage text: Wine's start and ours
      starts.push_back(r.wall);
      startRss = std::max(startRss, r.rssMiB);
    }
    const double start = Median(starts);
    const Pair r = Compare(win, linux, pairs);
    const double ratio = (r.wallA - start) / r.wallB;
    std::printf("%-26s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs  Windows under Wine against Linux, "
                "Wine's start (%.3fs, %.1f MiB) taken off: %s (<= 1.5)\n",
                (p.Name() + "-wine").c_str(), FileMB(Input(dir, p)), r.wallA - start, r.wallB, ratio, r.rssA,
                r.bestA - start, r.bestB, start, startRss, Verdict(ratio <= 1.5));
  }
  std::printf("%s\n", failures == 0 ? "all targets met" : "some targets MISSED");
  return failures == 0 ? 0 : 1;
}
