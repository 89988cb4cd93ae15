#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <unordered_map>

#include "ctl/commands.h"
#include "ctl/ctl_support.h"
#include "ctl/json_writer.h"
#include "monitor/net_traffic.h"
#include "monitor/port_list.h"
#include "monitor/process_list.h"
#include "monitor/shared_folder_list.h"
#include "monitor/version_info.h"
#include "monitor/whois_client.h"
#include "platform/folders.h"
#include "platform/package_db.h"
#include "platform/signature_service.h"

namespace qxfw::ctl {
namespace {

using monitor::CPortList;
using monitor::CProcessList;

constexpr char kHelp[] = R"(
Machine (read-only; run as root to see every process's sockets and paths):
  connections [--json]                 TCP connections and listeners, UDP endpoints, owners
  processes [--json]                   running processes: path, owner, parent, threads, start,
                                       whether the program file is signed (packaged, unchanged)
  shares [--json]                      the machine's shared folders (Samba)
  whois ADDRESS [--server HOST] [--port N]
                                       WHOIS answer for an IPv4 address
  traffic [--interface N] [--count N] [--json]
                                       bytes received and sent per second, one line a second
                                       until interrupted (or N samples)
  fileinfo PATH [--json]               version texts of a program file and its signature result
)";

std::string TimeText(const platform::SYSTEMTIME& t) {
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return buffer;
}

std::string Field(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

struct ProcessFacts {
  std::string name;
  std::string path;
};

// Names and paths of every process, read once per command.
std::unordered_map<uint32_t, ProcessFacts> ProcessTable() {
  std::unordered_map<uint32_t, ProcessFacts> table;
  CProcessList processes;
  while (processes.MoveNext()) {
    uint32_t id = processes.GetProcessId();
    table[id] = {processes.GetProcessName(), processes.PathOf(id)};
  }
  return table;
}

int Connections(const Arguments& args, std::ostream& out) {
  args.Expect(0, 0, "connections [--json]");
  auto processes = ProcessTable();
  struct Row {
    const char* protocol;
    std::string local, remote, state;
    uint16_t localPort, remotePort;
    uint32_t pid;
  };
  std::vector<Row> rows;
  for (bool tcp : {true, false}) {
    CPortList list(tcp, nullptr, CPortList::Road::kUnchosen);
    list.Refresh();
    while (list.MoveNext()) {
      rows.push_back({tcp ? "TCP" : "UDP", list.LocalAddress(), list.RemoteAddress(),
                      list.StateName() ? list.StateName() : "", list.LocalPort(), list.RemotePort(),
                      list.ProcessId()});
    }
  }
  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginArray();
    for (const Row& r : rows) {
      const ProcessFacts& p = processes[r.pid];
      json.BeginObject()
          .Field("protocol", r.protocol)
          .Field("localAddress", r.local)
          .Field("localPort", int64_t{r.localPort})
          .Field("remoteAddress", r.remote)
          .Field("remotePort", int64_t{r.remotePort})
          .Field("state", r.state)
          .Field("pid", int64_t{r.pid})
          .Field("program", p.name)
          .Field("path", p.path)
          .EndObject();
    }
    json.EndArray();
    out << json.Text() << "\n";
    return 0;
  }
  char line[256];
  std::snprintf(line, sizeof(line), "%-5s %-21s %-21s %-12s %7s  %s\n", "Proto", "Local address",
                "Remote address", "State", "PID", "Program");
  out << line;
  for (const Row& r : rows) {
    std::string local = r.local + ":" + std::to_string(r.localPort);
    std::string remote = r.remote.empty() ? "*" : r.remote + ":" + std::to_string(r.remotePort);
    const ProcessFacts& p = processes[r.pid];
    std::snprintf(line, sizeof(line), "%-5s %-21s %-21s %-12s %7u  ", r.protocol, local.c_str(),
                  remote.c_str(), r.state.c_str(), r.pid);
    out << line << TerminalText(p.path.empty() ? p.name : p.path) << "\n";
  }
  return 0;
}

int Processes(const Arguments& args, std::ostream& out) {
  args.Expect(0, 0, "processes [--json]");
  // The package index and the signature results are kept between runs in the cache folder,
  // so a warm run neither reads every package's file list nor hashes programs again.
  const bool keep = platform::EnsureCacheFolder();
  const std::string results = platform::CacheFolder() + "/signatures";
  if (keep) platform::PackageDb::Shared().KeepIndexIn(platform::CacheFolder() + "/dpkg-owners");
  platform::LoadSignatureService();
  if (keep) platform::LoadSignatureResults(results);
  CProcessList processes;
  struct Row {
    uint32_t pid, parent, threads;
    std::string name, path, owner, started;
    bool isSigned;
  };
  std::vector<Row> rows;
  while (processes.MoveNext()) {
    Row r;
    r.pid = processes.GetProcessId();
    r.parent = processes.GetParentProcessId();
    r.threads = processes.GetThreadCount();
    r.name = processes.GetProcessName();
    r.started = TimeText(processes.GetCreationTime());
    // The view shows what the kernel's link says; only a trusted program can be signed.
    monitor::RunningProgram program = processes.ProgramOf(r.pid);
    r.path = program.path.empty() ? processes.PathOf(r.pid) : program.path;
    r.isSigned = monitor::IsSigned(program);
    rows.push_back(std::move(r));
  }
  if (keep) platform::SaveSignatureResults(results);
  // Owners come from the live system, not the snapshot; the walk has ended by now.
  for (Row& r : rows) r.owner = processes.OwnerOf(r.pid).value_or("");
  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginArray();
    for (const Row& r : rows) {
      json.BeginObject()
          .Field("pid", int64_t{r.pid})
          .Field("name", r.name)
          .Field("path", r.path)
          .Field("owner", r.owner)
          .Field("parent", int64_t{r.parent})
          .Field("threads", int64_t{r.threads})
          .Field("started", r.started)
          .Field("signed", r.isSigned)
          .EndObject();
    }
    json.EndArray();
    out << json.Text() << "\n";
    return 0;
  }
  char line[512];
  std::snprintf(line, sizeof(line), "%7s %7s %4s %-19s %-10s %-6s %-16s %s\n", "PID", "Parent",
                "Thr", "Started", "Owner", "Signed", "Name", "Path");
  out << line;
  for (const Row& r : rows) {
    std::snprintf(line, sizeof(line), "%7u %7u %4u %-19s %-10.10s %-6s %-16.16s ", r.pid, r.parent,
                  r.threads, r.started.c_str(), r.owner.c_str(), r.isSigned ? "yes" : "no",
                  TerminalText(r.name).c_str());
    out << line << TerminalText(r.path) << "\n";
  }
  return 0;
}

int Shares(const Arguments& args, std::ostream& out) {
  args.Expect(0, 0, "shares [--json]");
  monitor::CSharedFolderList shares;
  std::vector<monitor::tagFIREWALL_SHARED_FOLDER> rows;
  while (shares.MoveNext()) rows.push_back(shares.GetCurrent());
  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginArray();
    for (const auto& r : rows) {
      json.BeginObject()
          .Field("name", Field(r.shareName, sizeof(r.shareName)))
          .Field("path", Field(r.path, sizeof(r.path)))
          .EndObject();
    }
    json.EndArray();
    out << json.Text() << "\n";
    return 0;
  }
  out << "Shared folders: " << rows.size() << "\n";
  for (const auto& r : rows) {
    out << "  " << TerminalText(Field(r.shareName, sizeof(r.shareName))) << "\t"
        << TerminalText(Field(r.path, sizeof(r.path))) << "\n";
  }
  return 0;
}

int Whois(const Arguments& args, std::ostream& out) {
  args.Expect(1, 1, "whois ADDRESS [--server HOST] [--port N]");
  const std::string& address = args.Positional()[0];
  ParseAddress(address, "ADDRESS");
  std::string server = args.Value("--server").value_or(monitor::CWhoisClient::kAddressServer);
  uint16_t port = monitor::CWhoisClient::kWhoisPort;
  if (auto v = args.Value("--port")) port = static_cast<uint16_t>(ParseNumber(*v, 65535, "--port"));
  monitor::CWhoisClient client(server, port);
  if (client.ServerAddress().empty()) throw CommandFailed("cannot resolve WHOIS server " + server);
  std::string answer = client.Query(address);
  if (answer.empty()) {
    throw CommandFailed("no WHOIS information for " + address + " from " + server);
  }
  out << TerminalText(answer, true);
  if (answer.back() != '\n') out << "\n";
  return 0;
}

volatile sig_atomic_t g_interrupted = 0;

int Traffic(const Arguments& args, std::ostream& out) {
  args.Expect(0, 0, "traffic [--interface N] [--count N] [--json]");
  monitor::MFNetTraffic probe;
  if (probe.InterfaceCount() == 0) throw CommandFailed("no network interfaces found");
  std::vector<int> indexes;
  if (auto v = args.Value("--interface")) {
    int index = static_cast<int>(ParseNumber(*v, 1000, "--interface"));
    if (index >= probe.InterfaceCount()) {
      throw UsageError("--interface must be below " + std::to_string(probe.InterfaceCount()));
    }
    indexes.push_back(index);
  } else {
    for (int i = 0; i < probe.InterfaceCount(); ++i) indexes.push_back(i);
  }
  uint32_t count = 0;  // 0: until interrupted
  if (auto v = args.Value("--count")) count = ParseNumber(*v, 1u << 30, "--count");

  // One counter object per interface and direction: a counter's sample is the growth since
  // its own previous sample.
  struct Meter {
    int index;
    std::unique_ptr<monitor::MFNetTraffic> received, sent;
  };
  std::vector<Meter> meters;
  for (int index : indexes) {
    Meter m{index, std::make_unique<monitor::MFNetTraffic>(),
            std::make_unique<monitor::MFNetTraffic>()};
    m.received->SetCounterType(monitor::MFNetTraffic::kReceivedBytes);
    m.sent->SetCounterType(monitor::MFNetTraffic::kSentBytes);
    m.received->Sample(index);
    m.sent->Sample(index);
    meters.push_back(std::move(m));
  }
  g_interrupted = 0;
  struct sigaction action {};
  action.sa_handler = [](int) { g_interrupted = 1; };
  sigaction(SIGINT, &action, nullptr);
  for (uint32_t n = 0; (count == 0 || n < count) && !g_interrupted; ++n) {
    poll(nullptr, 0, 1000);
    if (g_interrupted) break;
    for (Meter& m : meters) {
      auto received = static_cast<uint64_t>(m.received->Sample(m.index));
      auto sent = static_cast<uint64_t>(m.sent->Sample(m.index));
      std::string name = probe.InterfaceName(m.index);
      uint64_t bandwidth = probe.InterfaceBandwidth(m.index);
      if (args.Flag("--json")) {
        JsonWriter json;
        json.BeginObject()
            .Field("interface", name)
            .Field("index", int64_t{m.index})
            .Field("receivedBytesPerSecond", static_cast<int64_t>(received))
            .Field("sentBytesPerSecond", static_cast<int64_t>(sent))
            .Field("linkBitsPerSecond", static_cast<int64_t>(bandwidth))
            .EndObject();
        out << json.Text() << "\n";
      } else {
        char line[256];
        std::snprintf(line, sizeof(line), "%-16s received %12llu B/s  sent %12llu B/s",
                      name.c_str(), static_cast<unsigned long long>(received),
                      static_cast<unsigned long long>(sent));
        out << line;
        if (bandwidth != 0) out << "  link " << bandwidth / 1000000 << " Mbit/s";
        out << "\n";
      }
    }
    out.flush();
  }
  return 0;
}

int FileInfo(const Arguments& args, std::ostream& out) {
  args.Expect(1, 1, "fileinfo PATH [--json]");
  const std::string& path = args.Positional()[0];
  if (access(path.c_str(), F_OK) != 0) throw CommandFailed("no such file: " + path);
  monitor::CFileVersionInfo info(path);
  platform::LoadSignatureService();
  bool isSigned = platform::IsSigned(path);
  const auto& keys = monitor::CFileVersionInfo::kKeyNames;
  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginObject().Field("path", path);
    for (size_t i = 0; i < keys.size(); ++i) json.Field(keys[i], info.Get(keys[i]));
    json.Field("signed", isSigned).EndObject();
    out << json.Text() << "\n";
    return 0;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    char line[64];
    std::snprintf(line, sizeof(line), "%-17s ", keys[i]);
    out << line << TerminalText(info.Get(keys[i])) << "\n";
  }
  out << "Signed            " << (isSigned ? "yes" : "no") << "\n";
  return 0;
}

}  // namespace

int RunMonitorCommand(const std::string& command, const std::vector<std::string>& words,
                      std::ostream& out) {
  if (command == "connections") return Connections(Arguments(words, {}, {"--json"}), out);
  if (command == "processes") return Processes(Arguments(words, {}, {"--json"}), out);
  if (command == "shares") return Shares(Arguments(words, {}, {"--json"}), out);
  if (command == "whois") return Whois(Arguments(words, {"--server", "--port"}, {}), out);
  if (command == "traffic") {
    return Traffic(Arguments(words, {"--interface", "--count"}, {"--json"}), out);
  }
  if (command == "fileinfo") return FileInfo(Arguments(words, {}, {"--json"}), out);
  return -1;
}

const char* MonitorHelp() {
  return kHelp;
}

}  // namespace qxfw::ctl
