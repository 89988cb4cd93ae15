// Runs a fuzz target without libFuzzer, so every regular build exercises it: first on each
// seed file named on the command line (files or folders), then on deterministic variations
// of them (bytes flipped, inserted, cut) and on random inputs. A crash, a sanitizer report or
// a failed check inside the target fails the test.
//
// usage: <target> [--rounds N] SEED_FILE_OR_FOLDER...
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Collect(const std::string& path, std::vector<std::string>* seeds) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') Collect(path + "/" + entry->d_name, seeds);
    }
    closedir(dir);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  seeds->push_back(bytes.str());
}

uint64_t g_state = 0x9E3779B97F4A7C15ull;
uint64_t Next() {
  g_state ^= g_state << 13;
  g_state ^= g_state >> 7;
  g_state ^= g_state << 17;
  return g_state;
}

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

std::string Mutate(std::string input) {
  int edits = 1 + static_cast<int>(Next() % 8);
  for (int i = 0; i < edits; ++i) {
    switch (Next() % 4) {
      case 0:
        if (!input.empty()) input[Next() % input.size()] ^= static_cast<char>(1u << (Next() % 8));
        break;
      case 1:
        if (!input.empty()) input[Next() % input.size()] = static_cast<char>(Next());
        break;
      case 2:
        input.insert(input.empty() ? 0 : Next() % input.size(), 1, static_cast<char>(Next()));
        break;
      default:
        if (!input.empty()) input.resize(Next() % input.size());
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 2000;
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      continue;
    }
    Collect(argv[i], &seeds);
  }
  for (const std::string& seed : seeds) Run(seed);
  for (int i = 0; i < rounds; ++i) {
    if (!seeds.empty() && Next() % 4 != 0) {
      Run(Mutate(seeds[Next() % seeds.size()]));
    } else {
      std::string random(Next() % 2048, '\0');
      for (char& c : random) c = static_cast<char>(Next());
      Run(random);
    }
  }
  std::printf("%zu seeds and %d variations ran\n", seeds.size(), rounds);
  return 0;
}
