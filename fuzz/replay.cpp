// Runs the fuzz target over files and folders of inputs, without libFuzzer:
// replays a corpus or a crash, and lets CTest keep the target building.
//   fuzz_replay PATH...
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int Replay(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::perror(path.c_str());
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const int n = Replay(path + "/" + name);
      if (n < 0) return -1;
      count += n;
    }
    closedir(dir);
    return count;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return -1;
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), got);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int total = 0;
  for (int i = 1; i < argc; ++i) {
    const int n = Replay(argv[i]);
    if (n < 0) return 1;
    total += n;
  }
  std::printf("replayed %d inputs\n", total);
  return total > 0 ? 0 : 1;
}
