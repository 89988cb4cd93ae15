#include "monitor/process_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/path_text.h"

namespace qxfw::monitor {
namespace {

// The kernel keeps 16 bytes of a command name, terminator included.
constexpr size_t kCommCut = 15;
// User and domain names are kept to the 64-byte buffers the dialogs were laid out for.
constexpr size_t kAccountNameLimit = 63;

std::mutex g_lookupMutex;
CProcessList::ImagePathLookup g_imagePathLookup;

int64_t ClockNs(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Reads at most size - 1 bytes of a small /proc file (relative to dirFd) and terminates
// them; -1 on failure.
ssize_t ReadSmallFile(int dirFd, const char* path, char* buffer, size_t size) {
  platform::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return -1;
  size_t total = 0;
  while (total + 1 < size) {
    ssize_t n = ::read(fd.Get(), buffer + total, size - 1 - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  buffer[total] = '\0';
  return static_cast<ssize_t>(total);
}

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next < v) return false;
    v = next;
  }
  *value = v;
  return true;
}

std::string ReadLink(int dirFd, const char* path) {
  char target[PATH_MAX];
  ssize_t n = ::readlinkat(dirFd, path, target, sizeof(target));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) return {};
  return std::string(target, static_cast<size_t>(n));
}

std::string Cut(std::string text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

}  // namespace

void CProcessList::SetImagePathLookup(ImagePathLookup lookup) {
  std::lock_guard<std::mutex> lock(g_lookupMutex);
  g_imagePathLookup = std::move(lookup);
}

CProcessList::CProcessList() : CProcessList("/proc") {}

CProcessList::CProcessList(std::string procRoot) : m_procRoot(std::move(procRoot)) {
  TakeSnapshot();
}

void CProcessList::TakeSnapshot() {
  // Start times count clock ticks since boot, suspend included.
  int64_t bootNs = ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_BOOTTIME);
  DIR* dir = ::opendir(m_procRoot.c_str());
  if (dir == nullptr) return;
  int dirFd = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    uint64_t id = 0;
    if (!ParseUnsigned(entry->d_name, &id) || id > UINT32_MAX) continue;
    Entry process;
    if (ReadEntry(dirFd, static_cast<uint32_t>(id), bootNs, &process)) {
      m_entries.push_back(std::move(process));
    }
  }
  ::closedir(dir);
}

bool CProcessList::ReadEntry(int procFd, uint32_t processId, int64_t bootNs, Entry* entry) {
  char file[32];
  std::snprintf(file, sizeof(file), "%u/stat", processId);
  char text[2048];
  ssize_t size = ReadSmallFile(procFd, file, text, sizeof(text));
  if (size <= 0) return false;  // gone meanwhile
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so it ends at the
  // last ")".
  std::string_view line(text, static_cast<size_t>(size));
  size_t open = line.find('(');
  size_t close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return false;
  }
  entry->processId = processId;
  entry->name = std::string(line.substr(open + 1, close - open - 1));

  // Fields after the name, counted from 0: state, ppid (1), ..., num_threads (17),
  // itrealvalue, starttime (19).
  std::string_view rest = line.substr(close + 1);
  uint64_t fields[20] = {};
  size_t index = 0;
  while (index < 20) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (rest.empty()) return false;
    size_t end = rest.find_first_of(" \n");
    std::string_view field = rest.substr(0, end);
    // The state letter and negative numbers (priority, nice) are not needed.
    if (index == 1 || index == 17 || index == 19) {
      if (!ParseUnsigned(field, &fields[index])) return false;
    }
    ++index;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  entry->parentId = static_cast<uint32_t>(fields[1]);
  entry->threadCount = static_cast<uint32_t>(fields[17]);
  static const long ticks = ::sysconf(_SC_CLK_TCK);
  uint64_t startTicks = fields[19];
  entry->startNs = bootNs + static_cast<int64_t>(startTicks / ticks) * 1000000000 +
                   static_cast<int64_t>(startTicks % ticks) * 1000000000 / ticks;

  if (entry->name.size() == kCommCut) {
    std::snprintf(file, sizeof(file), "%u/exe", processId);
    std::string link = ReadLink(procFd, file);
    std::string candidate(platform::FileNameOf(platform::WithoutDeletedMark(link)));
    if (candidate.compare(0, kCommCut, entry->name) != 0) {
      char cmdline[1024];
      std::snprintf(file, sizeof(file), "%u/cmdline", processId);
      ssize_t n = ReadSmallFile(procFd, file, cmdline, sizeof(cmdline));
      candidate = n > 0 ? std::string(platform::FileNameOf(cmdline)) : std::string();
    }
    if (candidate.size() > kCommCut && candidate.compare(0, kCommCut, entry->name) == 0) {
      entry->name = std::move(candidate);
    }
  }
  return true;
}

bool CProcessList::MoveNext() {
  if (!m_walking) {
    m_walking = true;
    m_next = 0;
  }
  if (m_next >= m_entries.size()) {
    m_walking = false;
    return false;
  }
  ++m_next;
  return true;
}

const CProcessList::Entry* CProcessList::Current() const {
  if (!m_walking || m_next == 0 || m_next > m_entries.size()) return nullptr;
  return &m_entries[m_next - 1];
}

uint32_t CProcessList::GetProcessId() const {
  const Entry* e = Current();
  return e != nullptr ? e->processId : 0;
}

const std::string& CProcessList::GetProcessName() const {
  static const std::string kNone;
  const Entry* e = Current();
  return e != nullptr ? e->name : kNone;
}

uint32_t CProcessList::GetThreadCount() const {
  const Entry* e = Current();
  return e != nullptr ? e->threadCount : 0;
}

uint32_t CProcessList::GetParentProcessId() const {
  const Entry* e = Current();
  return e != nullptr ? e->parentId : 0;
}

platform::SYSTEMTIME CProcessList::GetCreationTime() const {
  const Entry* e = Current();
  if (e == nullptr) return platform::SYSTEMTIME{};
  int64_t seconds = e->startNs / 1000000000;
  int64_t ms = (e->startNs % 1000000000) / 1000000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  return platform::LocalTimeFrom(static_cast<time_t>(seconds), static_cast<unsigned>(ms));
}

std::optional<std::string> CProcessList::NameOf(uint32_t processId) {
  m_walking = false;
  while (MoveNext()) {
    if (GetProcessId() == processId) return GetProcessName();
  }
  return std::nullopt;
}

RunningProgram CProcessList::ProgramOf(uint32_t processId) const {
  if (processId == 0 || processId > static_cast<uint32_t>(INT_MAX)) return {};
  platform::UniqueFd proc(::open(m_procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.Valid()) return {};
  return TrustedProgramOf(proc.Get(), static_cast<pid_t>(processId));
}

std::string CProcessList::PathOf(uint32_t processId) const {
  RunningProgram program = ProgramOf(processId);
  // A link that can be read but names another file than the one running is not believed, and
  // nothing else may stand in for it.
  if (!program.path.empty()) return TrustedPathOf(program);
  ImagePathLookup lookup;
  {
    std::lock_guard<std::mutex> lock(g_lookupMutex);
    lookup = g_imagePathLookup;
  }
  return lookup ? lookup(processId) : std::string();
}

std::optional<std::string> CProcessList::OwnerOf(uint32_t processId) {
  char text[4096];
  std::string path = m_procRoot + "/" + std::to_string(processId) + "/status";
  if (ReadSmallFile(AT_FDCWD, path.c_str(), text, sizeof(text)) <= 0) return std::nullopt;
  // "Uid:\t<real>\t<effective>\t<saved>\t<fs>"
  const char* line = std::strstr(text, "\nUid:");
  if (line == nullptr) return std::nullopt;
  std::string_view rest(line + 5);
  // The owner shown is the effective user, the second number, as ps shows it.
  for (int field = 0; field < 2; ++field) {
    while (!rest.empty() && (rest.front() == '\t' || rest.front() == ' ')) rest.remove_prefix(1);
    if (field == 0) rest.remove_prefix(std::min(rest.size(), rest.find_first_of("\t \n")));
  }
  uint64_t uid = 0;
  if (!ParseUnsigned(rest.substr(0, rest.find_first_of("\t \n")), &uid) || uid > UINT32_MAX) {
    return std::nullopt;
  }

  if (!m_domainKnown) {
    char host[256] = {};
    m_domain = ::gethostname(host, sizeof(host) - 1) == 0 ? Cut(host, kAccountNameLimit) : "";
    m_domainKnown = true;
  }

  // One listing asks for the same few users again and again; each lookup reads the user
  // database, so the names are kept for the object's life.
  auto known = m_userNames.find(static_cast<uint32_t>(uid));
  if (known != m_userNames.end()) return known->second;
  passwd record{};
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  std::string name = std::to_string(uid);
  if (::getpwuid_r(static_cast<uid_t>(uid), &record, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    name = Cut(found->pw_name, kAccountNameLimit);
  }
  m_userNames.emplace(static_cast<uint32_t>(uid), name);
  return name;
}

bool CProcessList::EndProcess(uint32_t processId) {
  if (processId == 0 || processId > static_cast<uint32_t>(INT_MAX)) return false;
  pid_t pid = static_cast<pid_t>(processId);
  // A process descriptor pins the process: the signal cannot hit a newcomer that reused the
  // id in between.
  platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  int result;
  if (pidfd.Valid()) {
    result = static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd.Get(), SIGKILL, nullptr, 0));
  } else if (errno == ENOSYS) {
    result = ::kill(pid, SIGKILL);
    if (result != 0 && errno == ESRCH) return false;
  } else {
    return false;  // no such process
  }
  if (result != 0) {
    platform::DebugOutput("[QXFW]CProcessList::EndProcess: Failed to teminate process");
    return false;
  }
  return true;
}

}  // namespace qxfw::monitor
