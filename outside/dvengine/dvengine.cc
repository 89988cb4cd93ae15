// libdvengine32.so: the scanning engine behind the antivirus library. Its one export,
// DVENGINE_InitDll, takes the host I/O table and returns the command entry; the commands load
// ".vdb" databases into libclamav, scan files and walk containers member by member.
//
// One engine per process, driven by one thread at a time (the library's scan lock). Nothing
// thrown inside a command leaves it: a failure is -1.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avlib/vdb_header.h"
#include "clam_engine.h"
#include "container_level.h"
#include "dvengine_contract.h"
#include "host_io.h"
#include "virus_type.h"

namespace qxfw::dvengine {
namespace {

// True when the folder holds at least one file of a database type the engine loads.
bool HoldsClamDatabase(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    const char* dot = std::strrchr(entry->d_name, '.');
    if (entry->d_name[0] != '.' && dot != nullptr && std::strcmp(dot + 1, "dir") != 0 &&
        avlib::VdbPayloadTypeKnown(dot + 1)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

constexpr intptr_t kEngineVersion = 100;  // 1.00
constexpr size_t kHeadSize = 4096;

// The container types the library always opens (at most 32 members each).
bool AlwaysOpened(int type) {
  return type == kTypeCpio || type == kTypeAr || type == kTypeCab;
}

void Debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Debug(const char* format, ...) {
  const char* flag = std::getenv("QXFW_DEBUG");
  if (flag == nullptr || std::strcmp(flag, "1") != 0) return;
  va_list args;
  va_start(args, format);
  std::fputs("[dvengine] ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

void CopyText(char* buffer, size_t size, const std::string& text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

// A folder of our own for a database payload; removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/qxdvXXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    if (mkdtemp(text.data()) != nullptr) path_ = text.data();
  }
  ~TempFolder() {
    if (path_.empty()) return;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
          continue;
        }
        unlink((path_ + "/" + entry->d_name).c_str());
      }
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class Engine {
 public:
  Engine(const HostIo& io, intptr_t stateWord) : io_(io), stateWord_(stateWord) {}

  intptr_t Run(intptr_t command, va_list args) {
    switch (command) {
      case kCmdLoadDatabase:
        return LoadDatabase(reinterpret_cast<const char*>(va_arg(args, intptr_t)));
      case kCmdFinishLoading:
        return FinishLoading();
      case kCmdShutdown:
        return Shutdown();
      case kCmdRelease:
        return 0;
      case kCmdScanFile: {
        va_arg(args, intptr_t);
        va_arg(args, intptr_t);
        return ScanFile(reinterpret_cast<const char*>(va_arg(args, intptr_t)));
      }
      case kCmdVersion:
        return kEngineVersion;
      case kCmdContainerType:
        return ContainerType(reinterpret_cast<char*>(va_arg(args, intptr_t)));
      case kCmdOpenContainer:
        return OpenContainer(va_arg(args, intptr_t));
      case kCmdNextMember:
        return NextMember(reinterpret_cast<char*>(va_arg(args, intptr_t)));
      case kCmdScanMember:
        return ScanMember();
      case kCmdCloseContainer:
        return CloseContainer();
      case kCmdVirusName:
        return VirusName(reinterpret_cast<char*>(va_arg(args, intptr_t)));
      default:
        return -1;
    }
  }

 private:
  struct Level {
    int type = kNotContainer;
    std::string path;           // the file, for the outermost level
    std::vector<uint8_t> data;  // the bytes, for a member level
    std::unique_ptr<ContainerLevel> reader;
    std::vector<uint8_t> member;  // the current member's bytes
  };

  intptr_t LoadDatabase(const char* path) {
    if (path == nullptr) return -1;
    if (!clam_) clam_ = std::make_unique<ClamEngine>();
    HostFile file(io_, path);
    int64_t size = file.Size();
    uint8_t head[avlib::kVdbHeaderSize];
    if (!file.ok() || size < int64_t(sizeof(head)) || !file.ReadAt(0, head, sizeof(head))) {
      Debug("%s: no complete header", path);
      return -1;
    }
    avlib::VdbHeader header;
    if (!avlib::ParseVdbHeader(head, sizeof(head), &header) || header.tagOffset != 0 ||
        !avlib::VdbPayloadTypeKnown(header.payloadType) ||
        uint64_t(size) - sizeof(head) != header.payloadLength) {
      Debug("%s: header refused", path);
      return -1;
    }
    std::vector<uint8_t> payload(header.payloadLength);
    if (!payload.empty() && !file.ReadAt(sizeof(head), payload.data(), payload.size())) return -1;
    if (header.payloadType == "dir") {
      // A pointer to a folder of ClamAV databases, such as the machine's own.
      std::string folder(payload.begin(), payload.end());
      struct stat info;
      if (folder.empty() || folder.find('\0') != std::string::npos ||
          stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return -1;
      }
      // Without a database in it (ClamAV installed but never updated) the folder is skipped
      // quietly instead of letting libclamav report it as an error on every start.
      if (!HoldsClamDatabase(folder)) {
        Debug("%s: no database in %s", path, folder.c_str());
        return -1;
      }
      int64_t records = clam_->Load(folder);
      Debug("%s: %lld records from %s", path, static_cast<long long>(records), folder.c_str());
      return records > 0 ? records : -1;
    }
    TempFolder temp;
    if (temp.path().empty()) return -1;
    std::string copy = temp.path() + "/db." + header.payloadType;
    FILE* out = std::fopen(copy.c_str(), "wb");
    if (out == nullptr) return -1;
    bool written = std::fwrite(payload.data(), 1, payload.size(), out) == payload.size();
    written = std::fclose(out) == 0 && written;
    if (!written) return -1;
    int64_t records = clam_->Load(copy);
    Debug("%s: %lld records", path, static_cast<long long>(records));
    return records;
  }

  intptr_t FinishLoading() {
    if (clam_ && !clam_->Compile()) Debug("compiling the signatures failed");
    return ++stateWord_;
  }

  intptr_t Shutdown() {
    levels_.clear();
    pending_.reset();
    clam_.reset();
    return 0;
  }

  intptr_t ScanFile(const char* path) {
    levels_.clear();
    pending_.reset();
    budget_ = ScanBudget{};
    if (path == nullptr || !clam_ || !clam_->ready()) return -1;
    HostFile file(io_, path);
    int64_t size = file.Size();
    if (!file.ok() || size < 0) return -1;
    uint8_t head[kHeadSize];
    size_t headSize = size < int64_t(kHeadSize) ? size_t(size) : kHeadSize;
    if (headSize != 0 && !file.ReadAt(0, head, headSize)) return -1;
    int type = SniffContainer(head, headSize);
    // An archive the library will open is judged by its members; anything else (and a mail
    // file, whose parts the library may leave shut) is scanned whole first.
    bool walked = type != kNotContainer && type != kTypeMail &&
                  (AlwaysOpened(type) || io_.Query(kQueryScanArchives) != 0);
    if (!walked) {
      std::string name;
      ScanVerdict verdict = clam_->ScanFile(file, size, &name);
      if (verdict == ScanVerdict::kError) return -1;
      if (verdict == ScanVerdict::kInfected) return Infected(name);
    }
    if (type == kNotContainer) return 0;
    pending_ = std::make_unique<Level>();
    pending_->type = type;
    pending_->path = path;
    return kFlagContainer;
  }

  intptr_t Infected(std::string name) {
    // libclamav marks names from databases it cannot verify; ours are all of that kind.
    static constexpr char kMark[] = ".UNOFFICIAL";
    constexpr size_t kMarkLength = sizeof(kMark) - 1;
    if (name.size() > kMarkLength &&
        name.compare(name.size() - kMarkLength, kMarkLength, kMark) == 0) {
      name.resize(name.size() - kMarkLength);
    }
    lastVirus_ = name;
    lastType_ = VirusTypeOf(name);
    return kFlagInfected;
  }

  intptr_t ContainerType(char* text) {
    if (!pending_) {
      // Keeps open and close balanced: command 15 still pops this level.
      levels_.emplace_back();
      return -1;
    }
    levels_.push_back(std::move(*pending_));
    pending_.reset();
    if (text != nullptr) CopyText(text, kTypeTextSize, ContainerTypeText(levels_.back().type));
    return levels_.back().type;
  }

  intptr_t OpenContainer(intptr_t open) {
    if (levels_.empty() || levels_.back().type == kNotContainer) return -1;
    Level& level = levels_.back();
    if (open == 0 || levels_.size() > size_t(ScanBudget::kMaxLevels)) return kFlagEnd;
    if (level.path.empty()) {
      level.reader = OpenMemoryLevel(level.type, std::move(level.data), budget_);
    } else {
      level.reader = OpenFileLevel(level.type, io_, level.path, budget_);
    }
    if (!level.reader || !level.reader->Open()) {
      // Damaged or not really a container: its bytes were scanned whole already.
      Debug("container of type %d cannot be opened", level.type);
      level.reader.reset();
      return kFlagEnd;
    }
    return 0;
  }

  intptr_t NextMember(char* buffer) {
    if (levels_.empty() || !levels_.back().reader || buffer == nullptr) return -1;
    Level& level = levels_.back();
    std::string name;
    switch (level.reader->NextMember(&name, &level.member)) {
      case ContainerLevel::Next::kEnd:
        return kFlagEnd;
      case ContainerLevel::Next::kError:
        return -1;
      case ContainerLevel::Next::kMember:
        break;
    }
    std::memset(buffer, 0, kMemberNameOffset);
    CopyText(buffer + kMemberNameOffset, kMemberBufferSize - kMemberNameOffset, name);
    return 0;
  }

  intptr_t ScanMember() {
    if (levels_.empty() || !clam_) return -1;
    Level& level = levels_.back();
    int type = SniffContainer(level.member.data(), std::min(level.member.size(), kHeadSize));
    if (type != kNotContainer && type != kTypeMail &&
        (AlwaysOpened(type) || io_.Query(kQueryScanArchives) != 0)) {
      pending_ = std::make_unique<Level>();
      pending_->type = type;
      pending_->data = std::move(level.member);
      return kFlagContainer;
    }
    std::string name;
    ScanVerdict verdict = clam_->ScanMemory(level.member.data(), level.member.size(), &name);
    if (verdict == ScanVerdict::kInfected) return Infected(name);
    if (verdict == ScanVerdict::kError || type == kNotContainer) return 0;
    pending_ = std::make_unique<Level>();
    pending_->type = type;
    pending_->data = std::move(level.member);
    return kFlagContainer;
  }

  intptr_t CloseContainer() {
    pending_.reset();
    if (!levels_.empty()) levels_.pop_back();
    return 0;
  }

  intptr_t VirusName(char* buffer) {
    if (buffer != nullptr) CopyText(buffer, kVirusNameSize, lastVirus_);
    return lastVirus_.empty() ? 0 : lastType_;
  }

  HostIo io_;
  intptr_t stateWord_;
  std::unique_ptr<ClamEngine> clam_;
  std::vector<Level> levels_;
  std::unique_ptr<Level> pending_;
  ScanBudget budget_;
  std::string lastVirus_;
  int lastType_ = 0;
};

Engine* g_engine = nullptr;

intptr_t EngineCommand(intptr_t context, intptr_t command, ...) {
  if (context != 0 || g_engine == nullptr) return -1;
  va_list args;
  va_start(args, command);
  intptr_t result;
  try {
    result = g_engine->Run(command, args);
  } catch (...) {
    result = -1;
  }
  va_end(args);
  if (command == kCmdRelease) {
    delete g_engine;
    g_engine = nullptr;
  }
  return result;
}

}  // namespace
}  // namespace qxfw::dvengine

extern "C" __attribute__((visibility("default"))) EngineEntry DVENGINE_InitDll(
    const HostIoEntry* table, int32_t count, const EngineHostInfo* info, intptr_t stateWord) {
  using namespace qxfw::dvengine;
  try {
    if (info == nullptr || info->interfaceLevel != kInterfaceLevel ||
        info->platformCode != kPlatformCode || count != kHostIoCount) {
      return nullptr;
    }
    HostIo io;
    if (!io.Bind(table, count)) return nullptr;
    delete g_engine;
    g_engine = new Engine(io, stateWord);
    return &EngineCommand;
  } catch (...) {
    return nullptr;
  }
}
