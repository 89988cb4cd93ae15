#include "avlib/file_scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "avlib/av_engine.h"
#include "avlib/library_state.h"
#include "avlib/scanned_files.h"
#include "platform/debug_output.h"

// The quarantine half defines it; FileScan's quarantine modes call it when it is linked in.
extern "C" int32_t FileToQuarantine(const char* path, const char* note) __attribute__((weak));

namespace qxfw::avlib {
namespace {

using namespace dvengine;

// Container types that are always opened and walked to at most 32 members.
bool CountedType(intptr_t type) {
  switch (type) {
    case 6:
    case 7:
    case 9:
    case 10:
    case 11:
    case 13:
    case 18:
    case 19:
    case 21:
      return true;
    default:
      return false;
  }
}

constexpr intptr_t kMailType = 8;

int SlashCount(const std::string& name) {
  return static_cast<int>(std::count(name.begin(), name.end(), '/'));
}

}  // namespace

CFileScanner& CFileScanner::Get() {
  static CFileScanner* scanner = new CFileScanner();
  return *scanner;
}

void CFileScanner::SetSettings(const ScanSettings& settings) {
  std::lock_guard<std::mutex> hold(settingsLock_);
  settings_ = settings;
}

ScanSettings CFileScanner::Settings() const {
  std::lock_guard<std::mutex> hold(settingsLock_);
  return settings_;
}

std::string CFileScanner::TakeObjectPath() {
  std::lock_guard<std::mutex> hold(pathLock_);
  std::string path;
  path.swap(objectPath_);
  return path;
}

void CFileScanner::RebuildObjectPath() {
  std::string path;
  for (int level = 0; level <= kMaxDepth && !names_[level].empty(); ++level) {
    if (level > 0) path += '/';
    path += names_[level];
  }
  std::lock_guard<std::mutex> hold(pathLock_);
  objectPath_ = std::move(path);
}

intptr_t CFileScanner::HostQuery(intptr_t what) {
  if (what == kQueryScanMode) {
    if (depth_ != 0) return 0;
    RebuildObjectPath();
    return mode_;
  }
  if (what == kQueryScanArchives) return Settings().scanArchives;
  return 0;
}

int32_t CFileScanner::Scan(const char* path, int32_t mode) {
  std::lock_guard<std::mutex> hold(LibraryState::Get().scanLock);
  if (path == nullptr) return -1;
  if (mode == 2 || mode == 4) {
    if (FileToQuarantine != nullptr) {
      std::string note = LibraryState::Get().LastVirusName();
      FileToQuarantine(path, note.c_str());
    }
    return 0;
  }
  if (mode != 0 && mode != 1) return -1;
  mode_ = mode;
  // The scan reads one open file, which a later quarantine of this path then moves.
  CScannedFiles& scanned = CScannedFiles::Get();
  if (!scanned.Begin(path)) return -1;
  int32_t result = ScanOne(path);
  scanned.End(result != -1 && result != 0);
  return result;
}

int32_t CFileScanner::ScanOne(const std::string& path) {
  for (std::string& name : names_) name.clear();
  names_[0] = path;
  if (names_[0].empty()) return -1;
  RebuildObjectPath();
  CAvEngine& engine = CAvEngine::Get();
  intptr_t flags = engine.Command(kCmdScanFile, 1, 0, path.c_str(), 0);
  if (flags == -1) {
    names_[0].clear();
    return -1;
  }
  if (flags == 0) {
    names_[0].clear();
    return 0;
  }
  if ((flags & kFlagContainer) != 0) {
    std::string reportPath = LibraryState::Get().EngineFolder() + "dvtmp.dv";
    unlink(reportPath.c_str());
    int fd = open(reportPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    report_ = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (report_ == nullptr) {
      if (fd >= 0) close(fd);
      platform::DebugOutput("[QXAV]FileScan: cannot write the report file %s", reportPath.c_str());
    }
    depth_ = 0;
    intptr_t result = Walk();
    names_[0].clear();
    if (report_ != nullptr) {
      if (fclose(report_) != 0) {
        platform::DebugOutput("[QXAV]FileScan: writing the report file %s failed",
                              reportPath.c_str());
      }
      report_ = nullptr;
    }
    depth_ = 0;
    if (result == -1) return -1;
    // Only reported members make the container infected.
    if ((result & kFlagInfected) == 0) return 0;
    return static_cast<int32_t>(result | kFlagContainer);
  }
  names_[0].clear();
  if ((flags & kFlagInfected) != 0) return static_cast<int32_t>(Filter(flags));
  return 0;
}

intptr_t CFileScanner::Filter(intptr_t flags) {
  char name[kVirusNameSize + 1] = {};
  intptr_t type = CAvEngine::Get().Command(kCmdVirusName, name);
  name[kVirusNameSize] = '\0';
  LibraryState::Get().SetLastVirus(name, static_cast<int32_t>(type));
  ScanSettings settings = Settings();
  bool reported;
  switch (type) {
    case 1:
      reported = true;
      break;
    case 5:
    case 6:
      reported = settings.adware != 0;
      break;
    case 7:
    case 8:
      reported = settings.dangerProgram != 0;
      break;
    case 9:
      reported = settings.hackingTool != 0;
      break;
    default:
      return flags;
  }
  if (reported && std::strstr(name, ".origin") != nullptr) reported = false;
  return reported ? flags : 0;
}

void CFileScanner::Report(const char* typeText) {
  if (report_ == nullptr) return;
  std::string path;
  {
    std::lock_guard<std::mutex> hold(pathLock_);
    path = objectPath_;
  }
  std::string virus = LibraryState::Get().LastVirusName();
  if (std::fprintf(report_, "%s\t%s\t%s\n", path.c_str(), virus.c_str(), typeText) < 0) {
    platform::DebugOutput("[QXAV]FileScan: writing the report file failed");
  }
}

intptr_t CFileScanner::Walk() {
  CAvEngine& engine = CAvEngine::Get();
  auto member = std::make_unique<char[]>(kMemberBufferSize);
  std::memset(member.get(), 0, kMemberBufferSize);
  ++depth_;
  bool beyondLimit = depth_ > kMaxDepth;
  intptr_t result = beyondLimit ? kFlagDepthLimit : 0;
  intptr_t open = 0;
  char typeText[kTypeTextSize + 1] = {};
  intptr_t type = engine.Command(kCmdContainerType, typeText);
  typeText[kTypeTextSize] = '\0';
  ScanSettings settings = Settings();
  if (type == -1) {
    result = -1;
  } else if (!beyondLimit) {
    if (CountedType(type)) {
      open = 1;
    } else if (type == kMailType) {
      open = settings.scanEmail != 0;
    } else {
      open = settings.scanArchives != 0;
    }
  }
  intptr_t opened = engine.Command(kCmdOpenContainer, open);
  if (opened == -1) {
    result = -1;
  } else if (opened != kFlagEnd && result != -1) {
    int members = 0;
    for (;;) {
      if (CountedType(type) && members >= kCountedMembers) break;
      intptr_t next = engine.Command(kCmdNextMember, member.get(), 0);
      if (next == -1) break;
      result |= next;
      if ((next & kFlagEnd) != 0) break;
      ++members;
      member[kMemberBufferSize - 1] = '\0';
      std::string name(member.get() + kMemberNameOffset);
      // Names past the deepest level have no slot; such levels are never opened anyway.
      if (depth_ <= kMaxDepth) names_[depth_] = name.empty() ? "?" : name;
      if (next != 0) break;
      if (SlashCount(name) >= 3) break;
      intptr_t scanned = engine.Command(kCmdScanMember, member.get(), 0);
      if (scanned == -1 || (scanned & kFlagStop) != 0) break;
      if (scanned == 0) continue;
      if ((scanned & kFlagsStopMask) != 0) break;
      if ((scanned & kFlagContainer) != 0) {
        intptr_t inner = Walk();
        if (inner != -1) result |= inner;
        if (inner != -1 && (inner & kFlagStop) != 0) break;
      } else if ((scanned & kFlagInfected) != 0) {
        RebuildObjectPath();
        intptr_t kept = Filter(scanned);
        if (kept != 0) Report(typeText);
        result |= kept;
      }
      if (scanned == kFlagEnd) break;
    }
  }
  if (depth_ <= kMaxDepth) names_[depth_].clear();
  engine.Command(kCmdCloseContainer, member.get());
  --depth_;
  if (result == -1) return -1;
  return result & ~kFlagEnd;
}

}  // namespace qxfw::avlib
