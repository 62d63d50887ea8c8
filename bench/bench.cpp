// Times corvalin against the I/O limit (bench_floor: read the input through
// a 1 MiB buffer, write the TIFF's bytes from one reused 1 MiB buffer, in
// place), side by side, on scenes it generates itself, as users run it:
//
//   corvalin_bench [--pairs N] [--sizes 2048x1024,8192x4096,16384x8192]
//                  [--xmajor 8192x4096] [--large 20000x18000] [--dir FOLDER]
//                  [--small 512x256] [--batch 300] [--mid 2048x1024] [--mids 40]
//                  [--sustain SECONDS]
//                  [--windows corvalin.exe [--wine /usr/lib/wine/wine64]]
//
// Every size is written run-length and flat, plus one picture stored as
// columns (X-major). Inputs are made once and kept in FOLDER. Each of
// corvalin's TIFFs is checked float by float first. Then every round runs
// the two programs of a pair, in turns that alternate, in one of three
// passes:
//   new      each output deleted, and the dirty pages synced, before every
//            run, so that neither program pays for the other's writeback;
//   over     over the output of the program's previous run, nothing synced,
//            as a batch run twice in a row;
//   synced   over that output once it is on the disk, as a batch run the
//            next day.
// Reported: the medians over rounds of wall time, of the ratio corvalin /
// floor and of processor time (user and system, a batch's children
// included), and the peak resident memory. The X-major picture is paired with
// the same scene stored by rows. The large picture, run-length, makes a
// BigTIFF past 4 GiB (4.3 GB at 20000 x 18000). A small picture is timed
// alone and as a batch (300 of them converted with the README's
// find | xargs recipe, against the same with bench_floor), in each pass;
// 40 mid-size pictures as batches through xargs -P 1, -P $(nproc) and
// twice that, new outputs; with --sustain, back to back for that many
// seconds each, as a long batch keeps every processor busy.
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
  double cpu = 0;     // seconds of processor time, user and system, children included
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
  r.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

enum class Pass { kNew, kOver, kOverSynced };
const char* const kPassName[] = {"new", "over", "synced"};

Run TimeIn(Pass pass, const Program& p) {
  if (pass == Pass::kNew) RemoveOutputs(p);
  if (pass != Pass::kOver) sync();
  const Run r = Time(p.args);
  if (r.status != 0) Fail("a run of " + p.args[0] + " failed");
  return r;
}

struct Pair {
  double wallA, wallB, ratio, rssA, rssB;  // medians of rounds; ratio: A / B
  double bestA, bestB;                     // the fastest run of each
  double cpuA, cpuB;                       // medians of rounds: processor time
};

// Rounds of A and B, A first in even rounds and B first in odd ones.
Pair Compare(const Program& a, const Program& b, int rounds, Pass pass = Pass::kNew) {
  std::vector<double> wa, wb, ratio, ca, cb;
  double rssA = 0, rssB = 0;
  // Warm-up: both find the input in the page cache, and their outputs there.
  TimeIn(pass, a);
  TimeIn(pass, b);
  for (int i = 0; i < rounds; ++i) {
    Run ra, rb;
    if (i % 2 == 0) {
      ra = TimeIn(pass, a);
      rb = TimeIn(pass, b);
    } else {
      rb = TimeIn(pass, b);
      ra = TimeIn(pass, a);
    }
    wa.push_back(ra.wall), wb.push_back(rb.wall), ratio.push_back(ra.wall / rb.wall);
    ca.push_back(ra.cpu), cb.push_back(rb.cpu);
    rssA = std::max(rssA, ra.rssMiB), rssB = std::max(rssB, rb.rssMiB);
  }
  RemoveOutputs(a);
  RemoveOutputs(b);
  sync();
  return Pair{Median(wa), Median(wb), Median(ratio), rssA, rssB,
              *std::min_element(wa.begin(), wa.end()), *std::min_element(wb.begin(), wb.end()), Median(ca), Median(cb)};
}

std::string Input(const std::string& dir, const Picture& p) { return dir + "/" + p.Name() + ".hdr"; }

Program Corvalin(const std::string& dir, const Picture& p) {
  return Program{{Exe("../corvalin"), Input(dir, p)}, dir + "/" + p.Name() + ".tif"};
}

Program Floor(const std::string& dir, const Picture& p) {
  return Program{{Exe("bench_floor"), Input(dir, p), dir + "/floor.out", std::to_string(p.w), std::to_string(p.h)},
                 dir + "/floor.out"};
}

// The floor, starting its file's writing to the disk early as corvalin
// does (Linux), in the floor's place.
Program WritebackFloor(Program floor) {
  floor.args[0] = Exe("bench_floor_writeback");
  return floor;
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

// A row of the table: the pair's figures, then what is said of them.
void Row(const std::string& name, double inputMB, const Pair& r, const std::string& note) {
  std::printf("%-30s %9.1f %8.4fs %8.4fs %9.3f %9.1f %8.4fs %8.4fs %8.4fs %8.4fs  %s\n", name.c_str(), inputMB,
              r.wallA, r.wallB, r.ratio, r.rssA, r.bestA, r.bestB, r.cpuA, r.cpuB, note.c_str());
  std::fflush(stdout);
}

bool ParseSize(const std::string& text, int* w, int* h) {
  return std::sscanf(text.c_str(), "%dx%d", w, h) == 2 && *w > 0 && *h > 0;
}

// Each size, run-length and flat, in the three passes.
void BenchSizes(const std::string& dir, const std::string& sizes, int pairs) {
  for (size_t at = 0; at < sizes.size();) {
    size_t comma = sizes.find(',', at);
    if (comma == std::string::npos) comma = sizes.size();
    int w = 0, h = 0;
    if (ParseSize(sizes.substr(at, comma - at), &w, &h)) {
      for (Form form : {Form::kRunLength, Form::kFlat}) {
        const Picture p{w, h, form};
        Prepare(dir, p);
        // 1.1 from 2048 x 1024 to 8192 x 4096, 1.25 past that, where a
        // write of gigabytes swings from run to run.
        const double pixels = static_cast<double>(w) * h;
        const double target = pixels > 8192.0 * 4096 ? 1.25 : pixels >= 2048.0 * 1024 ? 1.1 : 0;
        // Past 8192 x 4096 a run writes gigabytes: the first pass only.
        for (Pass pass : {Pass::kNew, Pass::kOver, Pass::kOverSynced}) {
          if (pass != Pass::kNew && pixels > 8192.0 * 4096) break;
          const Pair r = Compare(Corvalin(dir, p), Floor(dir, p), pairs, pass);
          const std::string ratio = target > 0 ? std::string("ratio ") + Verdict(r.ratio <= target) + ", " : "";
          Row(p.Name() + ", " + kPassName[static_cast<int>(pass)], FileMB(Input(dir, p)), r,
              ratio + "memory " + Verdict(r.rssA <= 16));
        }
      }
    }
    at = comma + 1;
  }
}

// count w x h run-length pictures in a folder of their own, different
// scenes, made once; the TIFFs their conversions write.
std::vector<std::string> MakeBatch(const std::string& folder, int count, int w, int h) {
  mkdir(folder.c_str(), 0755);
  std::vector<std::string> tiffs;
  for (int k = 0; k < count; ++k) {
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
  return tiffs;
}

// The README's recipe over folder, jobs conversions at a time.
Program Recipe(const std::string& folder, const std::string& program, const std::string& jobs,
               const std::vector<std::string>& tiffs) {
  return Program{{"/bin/sh", "-c",
                  "find '" + folder + "' -type f \\( -iname '*.hdr' -o -iname '*.pic' -o -iname '*.rgbe' \\) "
                  "-print0 | xargs -0 -n 1 -P " + jobs + " '" + program + "'"},
                 "", tiffs};
}

// One small picture, then a batch of them as the README converts a folder:
// find | xargs -P, one run a picture, against the same with bench_floor
// run as corvalin is; in each pass.
void BenchSmall(const std::string& dir, const std::string& size, int batch, int pairs) {
  int w = 0, h = 0;
  if (!ParseSize(size, &w, &h)) return;
  const Picture p{w, h, Form::kRunLength};
  Prepare(dir, p);
  const std::string folder = dir + "/batch-" + std::to_string(w) + "x" + std::to_string(h);
  const std::vector<std::string> tiffs = MakeBatch(folder, batch, w, h);
  for (Pass pass : {Pass::kNew, Pass::kOver, Pass::kOverSynced}) {
    const std::string passName = kPassName[static_cast<int>(pass)];
    const Pair one = Compare(Corvalin(dir, p), Floor(dir, p), pairs, pass);
    Row(p.Name() + ", " + passName, FileMB(Input(dir, p)), one, std::string("ratio ") + Verdict(one.ratio <= 1.15) + " (<= 1.15)");
    const Pair all = Compare(Recipe(folder, Exe("../corvalin"), "\"$(nproc)\"", tiffs),
                             Recipe(folder, Exe("bench_floor"), "\"$(nproc)\"", tiffs), pairs, pass);
    Row(std::to_string(batch) + " x " + size + ", xargs, " + passName, FileMB(folder + "/p0.hdr") * batch, all,
        std::string("ratio ") + Verdict(all.ratio <= 1.15) + " (<= 1.15)");
  }
}

// Batches of count mid-size pictures, new outputs, through xargs with one
// job, one a processor, and two a processor: against the floor (targets
// 1.1 with one job, 1.5 with one a processor), and, where the system has
// it, against the floor that starts its writing to the disk early as
// corvalin does, which a batch of new TIFFs waits for.
void BenchBatches(const std::string& dir, const std::string& size, int count, int pairs) {
  int w = 0, h = 0;
  if (count < 1 || !ParseSize(size, &w, &h)) return;
  const std::string folder = dir + "/mid-" + size;
  const std::vector<std::string> tiffs = MakeBatch(folder, count, w, h);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  const bool writeback = Exists(Exe("bench_floor_writeback"));
  for (long jobs : {1L, cores, 2 * cores}) {
    const std::string j = std::to_string(jobs), name = std::to_string(count) + " x " + size + ", xargs -P " + j;
    const Program corvalin = Recipe(folder, Exe("../corvalin"), j, tiffs);
    const Pair r = Compare(corvalin, Recipe(folder, Exe("bench_floor"), j, tiffs), pairs);
    const double target = jobs == 1 ? 1.1 : jobs == cores ? 1.5 : 0;
    char note[64];
    std::snprintf(note, sizeof note, "ratio %s (<= %.1f)", Verdict(r.ratio <= target), target);
    Row(name, FileMB(folder + "/p0.hdr") * count, r, target > 0 ? note : "");
    if (writeback)
      Row(name, FileMB(folder + "/p0.hdr") * count,
          Compare(corvalin, Recipe(folder, Exe("bench_floor_writeback"), j, tiffs), pairs),
          "against the floor with early writeback");
  }
}

// What starting the writing to the disk early costs by itself: the floor
// with it against the floor, for a mid-size picture (new and over) and a
// batch of them one a processor. Only where the system has it.
void BenchWriteback(const std::string& dir, const std::string& size, int count, int pairs) {
  int w = 0, h = 0;
  if (!Exists(Exe("bench_floor_writeback")) || !ParseSize(size, &w, &h)) return;
  const Picture p{w, h, Form::kRunLength};
  Prepare(dir, p);
  for (Pass pass : {Pass::kNew, Pass::kOver}) {
    const Pair r = Compare(WritebackFloor(Floor(dir, p)), Floor(dir, p), pairs, pass);
    Row(p.Name() + ", " + kPassName[static_cast<int>(pass)], FileMB(Input(dir, p)), r,
        "floor with early writeback against the floor");
  }
  const std::string folder = dir + "/mid-" + size;
  const std::vector<std::string> tiffs = MakeBatch(folder, count, w, h);
  const std::string jobs = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
  const Pair r = Compare(Recipe(folder, Exe("bench_floor_writeback"), jobs, tiffs),
                         Recipe(folder, Exe("bench_floor"), jobs, tiffs), pairs);
  Row(std::to_string(count) + " x " + size + ", xargs -P " + jobs, FileMB(folder + "/p0.hdr") * count, r,
      "floor with early writeback against the floor");
}

// Back-to-back batches of count mid-size pictures through xargs -P
// $(nproc), for seconds each for corvalin and the floor, outputs deleted
// before each batch, nothing synced: the load a long batch keeps up.
// Reported: the medians of the batches in the second half of each.
void BenchSustained(const std::string& dir, const std::string& size, int count, int seconds) {
  int w = 0, h = 0;
  if (seconds < 1 || count < 1 || !ParseSize(size, &w, &h)) return;
  const std::string folder = dir + "/mid-" + size;
  const std::vector<std::string> tiffs = MakeBatch(folder, count, w, h);
  Pair r{};
  for (bool corvalin : {true, false}) {
    const Program p = Recipe(folder, Exe(corvalin ? "../corvalin" : "bench_floor"), "\"$(nproc)\"", tiffs);
    std::vector<Run> runs;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      RemoveOutputs(p);
      runs.push_back(TimeIn(Pass::kOver, p));
    }
    RemoveOutputs(p);
    std::vector<double> walls, cpus;
    for (size_t k = runs.size() / 2; k < runs.size(); ++k) walls.push_back(runs[k].wall), cpus.push_back(runs[k].cpu);
    (corvalin ? r.wallA : r.wallB) = Median(walls);
    (corvalin ? r.bestA : r.bestB) = *std::min_element(walls.begin(), walls.end());
    (corvalin ? r.cpuA : r.cpuB) = Median(cpus);
  }
  sync();
  r.ratio = r.wallA / r.wallB;
  Row(std::to_string(count) + " x " + size + ", xargs, " + std::to_string(seconds) + " s", FileMB(folder + "/p0.hdr") * count,
      r, "back to back, one a processor");
}

void BenchLarge(const std::string& dir, const std::string& size, int pairs) {
  int w = 0, h = 0;
  if (!ParseSize(size, &w, &h)) return;
  const Picture p{w, h, Form::kRunLength};
  Prepare(dir, p);
  const Pair r = Compare(Corvalin(dir, p), Floor(dir, p), pairs);
  char note[128];
  std::snprintf(note, sizeof note, "a BigTIFF of %.2f GB: ratio %s, memory %s", (PixelsAt(w, h) + w * 12.0 * h) / 1e9,
                Verdict(r.ratio <= 1.25), Verdict(r.rssA <= 16));
  Row(p.Name() + ", new", FileMB(Input(dir, p)), r, note);
}

void BenchXMajor(const std::string& dir, const std::string& size, int pairs) {
  int w = 0, h = 0;
  if (!ParseSize(size, &w, &h)) return;
  const Picture columns{w, h, Form::kXMajor}, rows{w, h, Form::kRunLength};
  Prepare(dir, columns);
  Prepare(dir, rows);
  const Pair r = Compare(Corvalin(dir, columns), Corvalin(dir, rows), pairs);
  const double limit = static_cast<double>(w) * h * 12 / 1048576 + 16;
  char note[160];
  std::snprintf(note, sizeof note, "against the same picture by rows: %s (<= 1.5); memory %s (<= %.0f MiB)",
                Verdict(r.ratio <= 1.5), Verdict(r.rssA <= limit), limit);
  Row(columns.Name() + ", new", FileMB(Input(dir, columns)), r, note);
  Row(columns.Name() + ", new", FileMB(Input(dir, columns)), Compare(Corvalin(dir, columns), Floor(dir, columns), pairs),
      "against the floor");
}

void BenchWine(const std::string& dir, const std::string& wine, const std::string& windows, int pairs) {
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
  Pair r = Compare(win, linux, pairs);
  r.wallA -= start;
  r.bestA -= start;
  r.ratio = r.wallA / r.wallB;
  char note[160];
  std::snprintf(note, sizeof note, "Windows under Wine against Linux, Wine's start (%.3fs, %.1f MiB) taken off: %s (<= 1.5)",
                start, startRss, Verdict(r.ratio <= 1.5));
  Row(p.Name() + "-wine, new", FileMB(Input(dir, p)), r, note);
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 7, batch = 300, mids = 40, sustain = 0;
  std::string sizes = "2048x1024,8192x4096,16384x8192", xmajor = "8192x4096", large = "20000x18000";
  std::string small = "512x256", mid = "2048x1024";
  std::string dir = Exe("bench-data"), windows, wine = "/usr/lib/wine/wine64";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--pairs") pairs = std::max(1, std::atoi(value.c_str()));
    else if (flag == "--sizes") sizes = value;
    else if (flag == "--xmajor") xmajor = value;
    else if (flag == "--large") large = value;
    else if (flag == "--small") small = value;
    else if (flag == "--batch") batch = std::max(1, std::atoi(value.c_str()));
    else if (flag == "--mid") mid = value;
    else if (flag == "--mids") mids = std::atoi(value.c_str());
    else if (flag == "--sustain") sustain = std::atoi(value.c_str());
    else if (flag == "--dir") dir = value;
    else if (flag == "--windows") windows = value;
    else if (flag == "--wine") wine = value;
  }
  mkdir(dir.c_str(), 0755);
  std::printf("%d paired rounds a picture; passes: new (outputs deleted and synced before every run), over (over\n"
              "the program's previous output), synced (over it, synced first)\n", pairs);
  std::printf("medians of the rounds; best: each program's fastest run\n");
  std::printf("%-30s %9s %9s %9s %9s %9s %9s %9s %9s %9s  %s\n", "picture, pass", "input MB", "corvalin", "floor",
              "ratio", "peak MiB", "best", "best", "cpu", "cpu",
              "targets (ratio <= 1.1 from 2048x1024 to 8192x4096, 1.25 past; memory <= 16 MiB)");
  BenchSizes(dir, sizes, pairs);
  BenchSmall(dir, small, batch, pairs);
  BenchBatches(dir, mid, mids, pairs);
  BenchSustained(dir, mid, mids, sustain);
  BenchWriteback(dir, mid, mids, pairs);
  BenchLarge(dir, large, pairs);
  BenchXMajor(dir, xmajor, pairs);
  if (!windows.empty()) BenchWine(dir, wine, windows, pairs);
  std::printf("%s\n", failures == 0 ? "all targets met" : "some targets MISSED");
  return failures == 0 ? 0 : 1;
}
