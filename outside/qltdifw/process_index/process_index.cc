#include "process_index/process_index.h"

#include <dirent.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/file.h"

namespace qltdifw {

ProcessIndex::ProcessIndex(std::string procRoot) : procRoot_(std::move(procRoot)) {}

bool ProcessIndex::ReadIdentity(pid_t pid, uint64_t* startTime, uint32_t* uid) const {
  std::string base = procRoot_ + "/" + std::to_string(pid);
  std::string stat;
  if (!qxfw::platform::ReadWholeFile(base + "/stat", &stat, 4096)) return false;
  // The name in parentheses may hold blanks and parentheses: count fields after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  const char* p = stat.c_str() + close + 1;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p + 1, ' ');
    if (p == nullptr) return false;
  }
  *startTime = std::strtoull(p + 1, nullptr, 10);
  std::string status;
  if (!qxfw::platform::ReadWholeFile(base + "/status", &status, 1 << 16)) return false;
  size_t at = status.find("\nUid:");
  if (at == std::string::npos) return false;
  *uid = static_cast<uint32_t>(std::strtoul(status.c_str() + at + 5, nullptr, 10));
  return true;
}

void ProcessIndex::Add(pid_t pid) {
  IndexedProcess entry;
  entry.pid = pid;
  if (!ReadIdentity(pid, &entry.startTime, &entry.uid)) {
    processes_.erase(pid);
    return;
  }
  auto it = processes_.find(pid);
  // Same pid and start time: the same process (an exec or uid change), keep its place.
  entry.sequence = it != processes_.end() && it->second.startTime == entry.startTime
                       ? it->second.sequence
                       : ++sequence_;
  processes_[pid] = entry;
}

void ProcessIndex::Refresh() {
  DIR* dir = opendir(procRoot_.c_str());
  if (dir == nullptr) return;
  std::vector<pid_t> pids;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(dir);
  std::sort(pids.begin(), pids.end());  // lower pids first, as a rough age order
  for (pid_t pid : pids) Add(pid);
}

bool ProcessIndex::Open(ExecHandler onExec) {
  onExec_ = std::move(onExec);
  connector_.Reset(
      socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR));
  bool ok = connector_.Valid();
  if (ok) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    address.nl_pid = 0;
    ok = bind(connector_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  if (ok) {
    // nlmsghdr, cn_msg and the listen operation, back to back.
    alignas(8) char listen[NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(listen);
    header->nlmsg_len = sizeof(listen);
    header->nlmsg_type = NLMSG_DONE;
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id.idx = CN_IDX_PROC;
    message->id.val = CN_VAL_PROC;
    message->len = sizeof(proc_cn_mcast_op);
    proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &op, sizeof(op));
    ok = send(connector_.Get(), listen, sizeof(listen), 0) == static_cast<ssize_t>(sizeof(listen));
    int size = 4 << 20;
    setsockopt(connector_.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
  }
  if (!ok) {
    qxfw::platform::DebugOutput("[QLTDIFW] proc connector unavailable: %s", std::strerror(errno));
    connector_.Reset();
  }
  Refresh();
  return ok;
}

void ProcessIndex::Receive() {
  alignas(8) char buffer[8192];
  for (;;) {
    ssize_t n = recv(connector_.Get(), buffer, sizeof(buffer), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {  // events were lost: start again from /proc
        Refresh();
        continue;
      }
      return;
    }
    int left = static_cast<int>(n);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event))) continue;
      const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
      if (message->id.idx != CN_IDX_PROC || message->len < sizeof(proc_event)) continue;
      proc_event event;
      std::memcpy(&event, message->data, sizeof(event));
      switch (event.what) {
        case proc_event::PROC_EVENT_FORK:
          // New threads come as forks too; only a new thread group is a process.
          if (event.event_data.fork.child_pid == event.event_data.fork.child_tgid) {
            Add(event.event_data.fork.child_pid);
          }
          break;
        case proc_event::PROC_EVENT_EXEC:
          Add(event.event_data.exec.process_pid);
          if (onExec_) onExec_(event.event_data.exec.process_pid);
          break;
        case proc_event::PROC_EVENT_UID:
          Add(event.event_data.id.process_pid);
          break;
        case proc_event::PROC_EVENT_EXIT:
          // Threads exit too; only the thread group leader's exit ends the process.
          if (event.event_data.exit.process_pid == event.event_data.exit.process_tgid) {
            processes_.erase(event.event_data.exit.process_pid);
          }
          break;
        default:
          break;
      }
    }
  }
}

std::vector<pid_t> ProcessIndex::CandidatesOf(int64_t uid) const {
  std::vector<const IndexedProcess*> matching;
  for (const auto& [pid, entry] : processes_) {
    if (uid < 0 || entry.uid == static_cast<uint32_t>(uid)) matching.push_back(&entry);
  }
  std::sort(matching.begin(), matching.end(), [](const IndexedProcess* a, const IndexedProcess* b) {
    return a->sequence > b->sequence;
  });
  std::vector<pid_t> pids;
  pids.reserve(matching.size());
  for (const IndexedProcess* entry : matching) pids.push_back(entry->pid);
  return pids;
}

bool ProcessIndex::Alive(pid_t pid, uint64_t startTime) const {
  auto it = processes_.find(pid);
  return it != processes_.end() && it->second.startTime == startTime;
}

}  // namespace qltdifw
