#include "ctl/av_commands.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "avlib/database_list.h"
#include "avlib/vdb_header.h"
#include "ctl/ctl_support.h"
#include "ctl/qxav_library.h"
#include "platform/folders.h"
#include "shell/last_scan.h"

namespace qxfw::ctl {
namespace {

constexpr char kHelp[] = R"(
Antivirus (the library and engine in the antivirus folder, $QXFW_APPDATA/QOLTEX/AntiVirus):
  scan [--archives] [--email] [--adware] [--hacking-tools] [--danger] [--executables-only]
       [--quarantine] PATH...          scan files and folders; prints every infected object
                                       with its virus name; exit 1 found, 0 clean, 2 error
  av info                              engine version, signature records, databases
  av wrap INPUT OUTPUT.vdb [--priority N] [--version N]
                                       wrap a ClamAV database (.hdb .hsb .ndb .ldb .cvd .cld)
                                       or a folder of them into a ".vdb" database
  av default OUTPUT.vdb                write the product's own small database
)";

std::string AntiVirusFolder() {
  std::string folder = platform::AntiVirusFolder();
  if (folder.empty()) throw CommandFailed("no antivirus folder (set $QXFW_APPDATA or $HOME)");
  return folder;
}

// Writes bytes to path through a temporary file in the same folder, then renames it.
void WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string temp = path + ".tmpXXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) throw CommandFailed("cannot create " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  bool ok = done == bytes.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(name.data(), path.c_str()) != 0) {
    unlink(name.data());
    throw CommandFailed("cannot write " + path);
  }
}

std::vector<uint8_t> Wrap(const std::string& type, const std::string& name,
                          const std::vector<uint8_t>& payload, uint16_t version,
                          uint16_t priority) {
  std::vector<uint8_t> file =
      avlib::BuildVdbHeader(type, name, version, priority, static_cast<uint32_t>(payload.size()));
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

int RunWrap(const Arguments& args, std::ostream& out) {
  args.Expect(2, 2, "av wrap INPUT OUTPUT.vdb [--priority N] [--version N]");
  const std::string& input = args.Positional()[0];
  const std::string& output = args.Positional()[1];
  uint16_t priority = 0, version = 1;
  if (auto v = args.Value("--priority")) priority = uint16_t(ParseNumber(*v, 0x7FFF, "priority"));
  if (auto v = args.Value("--version")) version = uint16_t(ParseNumber(*v, 0xFFFF, "version"));
  struct stat info;
  if (stat(input.c_str(), &info) != 0) throw CommandFailed("cannot read " + input);
  std::string base = input.substr(input.rfind('/') + 1);
  std::vector<uint8_t> payload;
  std::string type;
  if (S_ISDIR(info.st_mode)) {
    if (input.empty() || input[0] != '/')
      throw UsageError("a folder must be given as an absolute path");
    type = "dir";
    payload.assign(input.begin(), input.end());
  } else {
    size_t dot = base.rfind('.');
    type = dot == std::string::npos ? "" : base.substr(dot + 1);
    if (type == "dir" || !avlib::VdbPayloadTypeKnown(type)) {
      throw UsageError("unknown database type of " + input + " (.hdb .hsb .ndb .ldb .cvd .cld)");
    }
    std::ifstream file(input, std::ios::binary);
    payload.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file.eof() && file.fail()) throw CommandFailed("cannot read " + input);
    if (payload.size() > 0xFFFFFFFFull - avlib::kVdbHeaderSize) throw CommandFailed("too large");
  }
  WriteWhole(output, Wrap(type, base, payload, version, priority));
  out << "wrote " << output << " (" << type << ", " << payload.size() << " bytes)\n";
  return 0;
}

int RunDefault(const Arguments& args, std::ostream& out) {
  args.Expect(1, 1, "av default OUTPUT.vdb");
  std::vector<uint8_t> payload(kDefaultDatabase, kDefaultDatabase + std::strlen(kDefaultDatabase));
  WriteWhole(args.Positional()[0], Wrap("ndb", "qxfw.ndb", payload, 1, 100));
  out << "wrote " << args.Positional()[0] << "\n";
  return 0;
}

// Loads the library, points it at the antivirus folder and starts the engine.
void StartEngine(QxavLibrary& library, const std::string& folder) {
  library.Require(reinterpret_cast<void*>(library.SetDVSourceDir), "SetDVSourceDir");
  library.Require(reinterpret_cast<void*>(library.InitEngine), "InitEngine");
  library.SetDVSourceDir(folder.c_str());
  if (library.InitEngine() != 1) {
    throw CommandFailed(
        "the scanning engine could not be started (no engine or no usable "
        "signature database in " +
        folder + ")");
  }
}

int RunInfo(const Arguments& args, std::ostream& out) {
  args.Expect(0, 0, "av info");
  std::string folder = AntiVirusFolder();
  QxavLibrary library(folder);
  StartEngine(library, folder);
  library.Require(reinterpret_cast<void*>(library.GetEngineInfo), "GetEngineInfo");
  EngineInfo info{};
  library.GetEngineInfo(&info);
  out << "Engine version: " << info.engineVersion / 100 << "." << (info.engineVersion % 100) / 10
      << info.engineVersion % 10 << "\n";
  out << "Signature records: " << info.virusRecords << "\n";
  out << "Databases (in load order):\n";
  for (const avlib::DatabaseEntry& db : avlib::ListDatabases(folder + "/")) {
    out << "  " << db.path << "  version " << db.version << "  priority " << db.priority << "\n";
  }
  return 0;
}

bool HasProgramExtension(const std::string& path) {
  static const char* const kExtensions[] = {"cmd", "bat", "pif", "scf", "exe", "com", "scr"};
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1, 4);
  for (const char* known : kExtensions) {
    if (strcasecmp(extension.c_str(), known) == 0) return true;
  }
  return false;
}

// A regular file with an execute bit whose content starts with ELF magic or "#!".
bool IsExecutableProgram(const std::string& path, const struct stat& info) {
  if (HasProgramExtension(path)) return true;
  if ((info.st_mode & 0111) == 0) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char head[4] = {};
  ssize_t n = read(fd, head, sizeof(head));
  close(fd);
  return (n >= 4 && std::memcmp(head,
                                "\x7f"
                                "ELF",
                                4) == 0) ||
         (n >= 2 && head[0] == '#' && head[1] == '!');
}

class Scanner {
 public:
  Scanner(QxavLibrary& library, const Arguments& args, std::ostream& out)
      : library_(library),
        out_(out),
        executablesOnly_(args.Flag("--executables-only")),
        quarantine_(args.Flag("--quarantine")),
        progress_(isatty(STDERR_FILENO) == 1) {}

  void Walk(const std::string& path, bool top) {
    struct stat info;
    // Symbolic links are followed only when named on the command line.
    if ((top ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
      Error(path, std::strerror(errno));
      return;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!seen_.insert({info.st_dev, info.st_ino}).second) return;  // a loop
      std::vector<std::string> names;
      if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
          if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
          }
        }
        closedir(dir);
      } else {
        Error(path, std::strerror(errno));
        return;
      }
      std::sort(names.begin(), names.end());
      std::string prefix = path.back() == '/' ? path : path + "/";
      for (const std::string& name : names) Walk(prefix + name, false);
      return;
    }
    if (!S_ISREG(info.st_mode)) return;  // devices, pipes and sockets are not files to scan
    if (executablesOnly_ && !IsExecutableProgram(path, info)) return;
    ScanFile(path);
  }

  // What the home page of the program shows as the last scan.
  shell::LastScanRecord Record() const {
    shell::LastScanRecord record;
    record.finished = static_cast<int64_t>(std::time(nullptr));
    record.scanned = scanned_;
    record.infected = found_;
    record.errors = errors_;
    return record;
  }

  int Finish() {
    if (progress_) std::fputs("\r\033[K", stderr);
    out_ << "Scanned files: " << scanned_ << "\nInfected objects: " << found_
         << "\nErrors: " << errors_ << "\n";
    if (quarantine_) out_ << "Quarantined: " << quarantined_ << "\n";
    if (found_ > 0) return 1;
    return errors_ > 0 ? 2 : 0;
  }

 private:
  void Error(const std::string& path, const std::string& why) {
    ++errors_;
    if (progress_) std::fputs("\r\033[K", stderr);
    std::cerr << path << ": " << why << "\n";
  }

  void ScanFile(const std::string& path) {
    ++scanned_;
    if (progress_) {
      std::fprintf(stderr, "\r\033[KScanning %zu files, %zu found: %.60s", scanned_, found_,
                   path.c_str());
      std::fflush(stderr);
    }
    QxavLibrary::ScanOutcome scan = library_.Scan(path, 0, reportPath_);
    if (scan.result == -1) {
      Error(path, "cannot be scanned");
      return;
    }
    if (scan.result == 0) return;
    const char* object = scan.object.c_str();
    const char* virus = scan.virus.c_str();
    if (progress_) std::fputs("\r\033[K", stderr);
    if ((scan.result & QXAV_FLAG_CONTAINER) != 0) {
      // Every reported member is one line of the report file.
      std::istringstream report(scan.report);
      std::string line;
      bool any = false;
      while (std::getline(report, line)) {
        size_t tab = line.find('\t');
        size_t tab2 = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        if (tab2 == std::string::npos) continue;
        out_ << line.substr(0, tab) << ": " << line.substr(tab + 1, tab2 - tab - 1) << " FOUND\n";
        ++found_;
        any = true;
      }
      if (!any) {
        out_ << object << ": " << virus << " FOUND\n";
        ++found_;
      }
    } else {
      out_ << path << ": " << virus << " FOUND\n";
      ++found_;
    }
    if (quarantine_) {
      if (library_.FileToQuarantine(path.c_str(), virus) == 1) {
        ++quarantined_;
        out_ << path << ": moved to quarantine\n";
      } else {
        Error(path, "could not be moved to quarantine");
      }
    }
  }

 public:
  std::string reportPath_;

 private:
  QxavLibrary& library_;
  std::ostream& out_;
  bool executablesOnly_;
  bool quarantine_;
  bool progress_;
  std::set<std::pair<dev_t, ino_t>> seen_;
  size_t scanned_ = 0, found_ = 0, errors_ = 0, quarantined_ = 0;
};

int RunScan(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {},
                 {"--archives", "--email", "--adware", "--hacking-tools", "--danger",
                  "--executables-only", "--quarantine"});
  if (args.Positional().empty()) {
    throw UsageError(
        "scan [--archives] [--email] [--adware] [--hacking-tools] [--danger] "
        "[--executables-only] [--quarantine] PATH...");
  }
  for (const std::string& path : args.Positional()) {
    if (path.empty() || path.find('\0') != std::string::npos) throw UsageError("empty path");
  }
  std::string folder = AntiVirusFolder();
  QxavLibrary library(folder);
  for (auto [function, name] :
       {std::pair<void*, const char*>{reinterpret_cast<void*>(library.ModifySettings),
                                      "ModifySettings"},
        {reinterpret_cast<void*>(library.FileScan), "FileScan"},
        {reinterpret_cast<void*>(library.GetCurObjectName), "GetCurObjectName"},
        {reinterpret_cast<void*>(library.GetLastVirusName), "GetLastVirusName"}}) {
    library.Require(function, name);
  }
  if (args.Flag("--quarantine")) {
    library.Require(reinterpret_cast<void*>(library.DefineQuarantine), "DefineQuarantine");
    library.Require(reinterpret_cast<void*>(library.FileToQuarantine), "FileToQuarantine");
    if (library.DefineQuarantine(platform::SystemFolder().c_str()) != 1) {
      throw CommandFailed("the quarantine folder cannot be used");
    }
  }
  StartEngine(library, folder);
  ScanSettings settings{};
  settings.adware = args.Flag("--adware");
  settings.hackingTool = args.Flag("--hacking-tools");
  settings.dangerProgram = args.Flag("--danger");
  settings.scanArchives = args.Flag("--archives");
  settings.scanEmail = args.Flag("--email");
  library.ModifySettings(&settings);
  Scanner scanner(library, args, out);
  scanner.reportPath_ = folder + "/dvtmp.dv";
  for (const std::string& path : args.Positional()) scanner.Walk(path, true);
  int status = scanner.Finish();
  if (!shell::WriteLastScan(shell::LastScanPath(), scanner.Record())) {
    std::cerr << "qxfwctl: the scan could not be recorded in " << shell::LastScanPath() << ": "
              << std::strerror(errno) << "\n";
  }
  return status;
}

}  // namespace

const char* AvHelp() {
  return kHelp;
}

int RunAvCommand(const std::string& command, const std::vector<std::string>& words,
                 std::ostream& out) {
  if (command == "scan") {
    // Scans exit 1 only for a finding; every failure is 2.
    try {
      return RunScan(words, out);
    } catch (const CommandFailed& e) {
      std::cerr << "qxfwctl: " << e.what() << "\n";
      return 2;
    }
  }
  if (command != "av") return -1;
  if (words.empty()) throw UsageError("av info | wrap INPUT OUTPUT.vdb | default OUTPUT.vdb");
  std::vector<std::string> rest(words.begin() + 1, words.end());
  if (words[0] == "info") return RunInfo(Arguments(rest, {}, {}), out);
  if (words[0] == "wrap") return RunWrap(Arguments(rest, {"--priority", "--version"}, {}), out);
  if (words[0] == "default") return RunDefault(Arguments(rest, {}, {}), out);
  throw UsageError("unknown av command '" + words[0] + "'");
}

}  // namespace qxfw::ctl
