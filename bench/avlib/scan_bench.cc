// FileScan against clamscan over the same generated corpus and the same signatures, and the
// engine's start-up with 100,000 signatures against clamscan's load of them.
//
// The corpus (about 300 MB: text, random binary, zip and tar.gz archives, a few EICAR copies)
// and the databases are made once in a private temporary folder and removed at the end.
// clamscan runs as a separate process; its time includes its own start-up, so ours includes
// InitEngine too ("full" pair), and the start-up pair compares the two loads alone.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "avlib/qxav.h"
#include "avlib/vdb_header.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct Paths {
  std::string root, corpus, engine, clamDb, empty;
  uint64_t corpusBytes = 0;
  size_t files = 0;
} g;

struct Library {
  decltype(&::InitEngine) InitEngine;
  decltype(&::ShutdownEngine) ShutdownEngine;
  decltype(&::ModifySettings) ModifySettings;
  decltype(&::FileScan) FileScan;
  decltype(&::SetDVSourceDir) SetDVSourceDir;
} q;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  g.corpusBytes += bytes.size();
  ++g.files;
}

std::string Words(std::mt19937_64& random, size_t size) {
  static const char* const kWords[] = {"firewall",  "packet",  "rule ", "allow",
                                       "block ",    "process", "\n",    "connection ",
                                       "signature", "archive "};
  std::string text;
  while (text.size() < size) text += kWords[random() % 10];
  text.resize(size);
  return text;
}

std::string Random(std::mt19937_64& random, size_t size) {
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  bytes.replace(0, 4,
                "\x7f"
                "ELF");
  return bytes;
}

std::string Archive(bool zip, const std::vector<std::pair<std::string, std::string>>& members) {
  archive* a = archive_write_new();
  if (zip) {
    archive_write_set_format_zip(a);
  } else {
    archive_write_set_format_pax_restricted(a);
    archive_write_add_filter_gzip(a);
  }
  size_t total = 1 << 16;
  for (const auto& member : members) total += member.second.size() + 1024;
  std::string buffer(total, '\0');
  size_t used = 0;
  archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
  for (const auto& [name, content] : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_write_header(a, entry);
    archive_write_data(a, content.data(), content.size());
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  buffer.resize(used);
  return buffer;
}

void MakeCorpus() {
  std::mt19937_64 random(42);
  fs::create_directories(g.corpus);
  for (int i = 0; g.corpusBytes < (300ull << 20); ++i) {
    std::string base = g.corpus + "/f" + std::to_string(i);
    switch (i % 6) {
      case 0:
        WriteFile(base + ".txt", Words(random, 64 * 1024 + random() % (512 * 1024)));
        break;
      case 1:
        WriteFile(base + ".bin", Random(random, 256 * 1024 + random() % (2 << 20)));
        break;
      case 2:
        WriteFile(base + ".zip", Archive(true, {{"a.txt", Words(random, 400 * 1024)},
                                                {"b.bin", Random(random, 300 * 1024)},
                                                {"c.txt", Words(random, 100 * 1024)}}));
        break;
      case 3:
        WriteFile(base + ".tar.gz", Archive(false, {{"x/a.txt", Words(random, 600 * 1024)},
                                                    {"x/b.bin", Random(random, 200 * 1024)}}));
        break;
      case 4:
        WriteFile(base + ".html", Words(random, 32 * 1024));
        break;
      default:
        WriteFile(base + ".com", i % 60 == 5 ? kEicar : Random(random, 128 * 1024));
        break;
    }
  }
}

// 100,000 signatures: 90,000 MD5 signatures and 10,000 body signatures, plus EICAR.
void MakeDatabases() {
  std::mt19937_64 random(7);
  fs::create_directories(g.clamDb);
  fs::create_directories(g.engine);
  auto hex = [&](size_t bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes; ++i) {
      unsigned v = static_cast<unsigned>(random() & 0xFF);
      text += digits[v >> 4];
      text += digits[v & 15];
    }
    return text;
  };
  std::string hdb, ndb;
  for (int i = 0; i < 90000; ++i) {
    hdb += hex(16) + ":" + std::to_string(1000 + random() % 100000) + ":Bench.Hash-" +
           std::to_string(i) + "\n";
  }
  for (int i = 0; i < 9999; ++i)
    ndb += "Bench.Body-" + std::to_string(i) + ":0:*:" + hex(20) + "\n";
  std::string eicarHex;
  for (unsigned char c : kEicar) {
    char two[3];
    std::snprintf(two, sizeof(two), "%02x", c);
    eicarHex += two;
  }
  ndb += "Bench.EICAR:0:*:" + eicarHex + "\n";
  for (auto [name, text] :
       {std::pair<std::string, std::string>{"bench.hdb", hdb}, {"bench.ndb", ndb}}) {
    std::ofstream(g.clamDb + "/" + name) << text;
    std::string type = name.substr(name.size() - 3);
    std::vector<uint8_t> header =
        qxfw::avlib::BuildVdbHeader(type, name, 1, 1, static_cast<uint32_t>(text.size()));
    std::ofstream out(g.engine + "/" + name.substr(0, name.size() - 4) + "-" + type + ".vdb",
                      std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), std::streamsize(header.size()));
    out << text;
  }
  fs::create_symlink(QXAV_BUILD_DIR "/libdvengine32.so", g.engine + "/libdvengine32.so");
  std::ofstream(g.empty) << "x";
}

bool Prepare() {
  g.root = (fs::temp_directory_path() / ("qxav-bench-" + std::to_string(getpid()))).string();
  g.corpus = g.root + "/corpus";
  g.engine = g.root + "/engine";
  g.clamDb = g.root + "/clamdb";
  g.empty = g.root + "/empty.txt";
  MakeDatabases();
  MakeCorpus();
  std::printf("corpus: %zu files, %.1f MB\n", g.files, double(g.corpusBytes) / 1e6);
  void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  q.InitEngine = reinterpret_cast<decltype(q.InitEngine)>(dlsym(handle, "InitEngine"));
  q.ShutdownEngine = reinterpret_cast<decltype(q.ShutdownEngine)>(dlsym(handle, "ShutdownEngine"));
  q.ModifySettings = reinterpret_cast<decltype(q.ModifySettings)>(dlsym(handle, "ModifySettings"));
  q.FileScan = reinterpret_cast<decltype(q.FileScan)>(dlsym(handle, "FileScan"));
  q.SetDVSourceDir = reinterpret_cast<decltype(q.SetDVSourceDir)>(dlsym(handle, "SetDVSourceDir"));
  q.SetDVSourceDir(g.engine.c_str());
  return true;
}

int Clamscan(const std::vector<std::string>& arguments) {
  std::vector<std::string> words = {"clamscan", "--no-summary", "--infected",
                                    "--stdout", "-d",           g.clamDb};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawnp(&pid, "clamscan", &actions, nullptr, argv.data(), environ) != 0) return -1;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t ScanTree(const std::string& folder) {
  size_t found = 0;
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  for (const auto& name : names) {
    if (q.FileScan((folder + "/" + name).c_str(), 0) > 0) ++found;
  }
  return found;
}

void BM_ClamscanStartup(benchmark::State& state) {
  for (auto _ : state) {
    if (Clamscan({g.empty}) < 0) state.SkipWithError("clamscan cannot be run");
  }
}
BENCHMARK(BM_ClamscanStartup)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_InitEngine(benchmark::State& state) {
  for (auto _ : state) {
    if (q.InitEngine() != 1) state.SkipWithError("InitEngine failed");
    state.PauseTiming();
    q.ShutdownEngine();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InitEngine)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ClamscanCorpus(benchmark::State& state) {
  for (auto _ : state) {
    if (Clamscan({"-r", "--scan-archive=yes", "--scan-mail=yes", g.corpus}) != 1) {
      state.SkipWithError("clamscan did not find the EICAR copies");
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations() * g.corpusBytes));
}
BENCHMARK(BM_ClamscanCorpus)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_FileScanCorpus(benchmark::State& state) {
  for (auto _ : state) {
    if (q.InitEngine() != 1) state.SkipWithError("InitEngine failed");
    ScanSettings settings{0, 0, 0, 1, 1};
    q.ModifySettings(&settings);
    if (ScanTree(g.corpus) == 0) state.SkipWithError("the EICAR copies were not found");
    state.PauseTiming();
    q.ShutdownEngine();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations() * g.corpusBytes));
}
BENCHMARK(BM_FileScanCorpus)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  qxfw::bench::RatioReporter reporter(
      {{"engine start-up, 100,000 signatures (InitEngine vs clamscan load)",
        "BM_ClamscanStartup/iterations:3/real_time", "BM_InitEngine/iterations:3/real_time"},
       {"corpus scan throughput incl. start-up (FileScan vs clamscan)",
        "BM_ClamscanCorpus/iterations:2/real_time", "BM_FileScanCorpus/iterations:2/real_time"}},
      "(above 1: ours faster)");
  int result = qxfw::bench::RunBenchmarks(argc, argv, reporter, Prepare);
  std::error_code ignored;
  if (!g.root.empty()) fs::remove_all(g.root, ignored);
  return result;
}
