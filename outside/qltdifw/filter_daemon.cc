#include "filter_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "monitor/trusted_path.h"
#include "nfqueue/packet_parser.h"
#include "platform/file.h"

namespace qltdifw {

using namespace qxfw::firewall;
using Clock = RequestTable::Clock;

namespace {
// The user a packet is counted against when the kernel names no socket owner.
constexpr uint32_t kUnknownUid = 0xFFFFFFFF;
}  // namespace

FilterDaemon::FilterDaemon(DaemonOptions options)
    : options_(std::move(options)),
      table_(this, std::chrono::seconds(options_.holdTimeoutSeconds), HoldLimits{}),
      device_(this, options_.user),
      verdictSpin_(std::chrono::microseconds(options_.spinMicroseconds)) {}

FilterDaemon::~FilterDaemon() {
  Shutdown();
}

bool FilterDaemon::EnterNetns() {
  if (options_.netns.empty()) return true;
  homeNetns_.Reset(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  std::string path = "/var/run/netns/" + options_.netns;
  qxfw::platform::UniqueFd target(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!homeNetns_.Valid() || !target.Valid() || setns(target.Get(), CLONE_NEWNET) != 0) {
    syslog(LOG_ERR, "network namespace %s cannot be entered: %s", options_.netns.c_str(),
           strerror(errno));
    return false;
  }
  return true;
}

void FilterDaemon::LeaveNetns() {
  if (homeNetns_.Valid()) setns(homeNetns_.Get(), CLONE_NEWNET);
  homeNetns_.Reset();
}

bool FilterDaemon::Start() {
  // Stop signals arrive through a descriptor, so the loop ends cleanly and removes the rules.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signals_.Reset(signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));

  // The events are sockets in the runtime folder, which must exist first.
  if (mkdir(options_.runtimeDir.c_str(), 0755) != 0 && errno != EEXIST) {
    syslog(LOG_ERR, "not started, nothing is filtered: runtime folder %s cannot be made: %s",
           options_.runtimeDir.c_str(), strerror(errno));
    return false;
  }
  if (!events_.Create(options_.runtimeDir, options_.user)) return false;
  if (!index_.Open([this](pid_t pid) { OnExec(pid); })) {
    syslog(LOG_WARNING, "no proc connector: owners are searched among processes known at start");
  }
  if (!EnterNetns()) return false;
  bool queued = queue_.Open(options_.queue, [this](const QueuedPacket& p) { OnPacket(p); });
  owners_ = std::make_unique<PacketOwnerFinder>(&index_);
  destroyer_ = std::make_unique<qxfw::monitor::SockDiag>();
  LeaveNetns();
  if (!queued) {
    syslog(LOG_ERR, "queue %u cannot be opened", options_.queue);
    return false;
  }
  rules_ = std::make_unique<IptablesRules>(options_.queue, options_.netns);
  if (!rules_->Install()) {
    syslog(LOG_ERR, "iptables rules cannot be installed");
    return false;
  }
  std::string socketPath = options_.runtimeDir + "/" + kDeviceSocketName;
  if (!device_.Listen(socketPath)) {
    syslog(LOG_ERR, "device %s cannot be created: %s", socketPath.c_str(), strerror(errno));
    return false;
  }
  const HoldLimits& limits = table_.Limits();
  syslog(LOG_INFO,
         "started: queue %u, chain %s, device %s, user %u, hold %d s, client time-out %d s, "
         "held at most %zu per process and %zu per user, spin %d us%s%s",
         options_.queue, rules_->Chain().c_str(), socketPath.c_str(), options_.user,
         options_.holdTimeoutSeconds, options_.clientTimeoutSeconds, limits.perProcess,
         limits.perUser, options_.spinMicroseconds,
         options_.alignedRecords ? ", aligned records" : "",
         systemd_.WatchdogInterval().count() != 0 ? ", watchdog" : "");
  systemd_.Send("READY=1");
  return true;
}

void FilterDaemon::Shutdown() {
  if (rules_) {
    Tick(Clock::now(), true);
    systemd_.Send("STOPPING=1");
  }
  if (rules_) rules_->Remove();
  rules_.reset();
  table_.ReleaseAll();
}

int FilterDaemon::Run() {
  for (;;) {
    pollfd polls[5] = {
        {signals_.Get(), POLLIN, 0},
        {queue_.Fd(), POLLIN, 0},
        {index_.Fd(), POLLIN, 0},
        {device_.ListenFd(), POLLIN, 0},
        {device_.ClientFd(), static_cast<short>(POLLIN | (device_.WantsWrite() ? POLLOUT : 0)), 0},
    };
    int timeout = PollTimeout(Clock::now());
    int n = 0;
    if (spinUntil_ > Clock::now()) n = qxfw::platform::SpinPoll(polls, 5, spinUntil_);
    if (n == 0) n = poll(polls, 5, timeout);
    if (n < 0 && errno != EINTR) {
      syslog(LOG_ERR, "poll failed: %s", strerror(errno));
      break;
    }
    if (n > 0) {
      if (polls[0].revents != 0) {
        signalfd_siginfo info{};
        (void)!read(signals_.Get(), &info, sizeof(info));
        syslog(LOG_INFO, "signal %u: stopping", info.ssi_signo);
        break;
      }
      // Process events first, so an owner started a moment ago is already known.
      if (polls[2].revents != 0) index_.Receive();
      if (polls[1].revents != 0 && !queue_.Receive()) {
        syslog(LOG_ERR, "queue receive failed: %s", strerror(errno));
        break;
      }
      if (polls[3].revents != 0) device_.OnListenReadable();
      if (polls[4].revents & (POLLIN | POLLHUP | POLLERR)) device_.OnClientReadable();
      if (polls[4].revents & POLLOUT) device_.OnClientWritable();
    }
    Clock::time_point now = Clock::now();
    table_.Expire(now);
    CheckClientAlive(now);
    Tick(now);
  }
  Shutdown();
  return 0;
}

void FilterDaemon::OnPacket(const QueuedPacket& packet) {
  PacketInfo info;
  if (!ParsePacket(packet.data, packet.size, &info)) {
    queue_.Accept(packet.id);
    ++unparsed_;
    if (unparsedLog_.Take(Clock::now())) {
      syslog(LOG_WARNING, "packet %u of %zu bytes not understood: passed (%llu so far)", packet.id,
             packet.size, static_cast<unsigned long long>(unparsed_));
    }
    return;
  }
  if (!clientActive_ || (info.protocol == IPPROTO_TCP && !info.syn)) {
    queue_.Accept(packet.id);
    return;
  }
  FlowKey flow{info.protocol, info.localAddr, info.remoteAddr, info.localPort, info.remotePort};
  // A retransmission of a held request: kept with it or dropped, never a request of its own.
  if (table_.TryJoin(packet.id, flow) != RequestTable::Outcome::kQueued) return;

  PacketOwner owner =
      owners_->Find(info.protocol, info.localAddr, info.localPort, info.remoteAddr, info.remotePort,
                    packet.hasUid ? static_cast<int64_t>(packet.uid) : -1);
  CNETWORK_REQUEST request{};
  request.protocol = info.protocol == IPPROTO_TCP ? kProtocolTcp : kProtocolUdp;
  request.requestType = info.protocol == IPPROTO_TCP ? kRequestTcpConnect : kRequestUdpSend;
  request.remoteAddress = info.remoteAddr;
  request.remotePort = info.remotePort;
  request.localAddress = info.localAddr;
  request.localPort = info.localPort;
  request.processId = static_cast<uint32_t>(owner.pid);
  request.threadId = static_cast<uint32_t>(owner.pid);
  // The kernel's uid of the socket; a packet without one counts as a user of its own.
  uint32_t uid = packet.hasUid ? packet.uid : owner.pid != 0 ? owner.uid : kUnknownUid;
  RequestTable::Outcome outcome = table_.Offer(packet.id, flow, request, uid, true, Clock::now());
  if (outcome == RequestTable::Outcome::kRefused) LogRefusal(request, uid);
  if (outcome == RequestTable::Outcome::kQueued) {
    // A fetch waiting for this request gets it before the event says it is there.
    if (device_.KeepsCall()) {
      std::vector<uint8_t> output;
      uint32_t status = HandOutRequest(device_.KeptOutputSize(), &output);
      device_.AnswerKeptCall(status, output.data(), static_cast<uint32_t>(output.size()));
    }
    events_.RequestQueued();
    handedOut_ = Clock::now();
    spinUntil_ = verdictSpin_.Until(handedOut_);
  }
}

void FilterDaemon::OnExec(pid_t pid) {
  if (!clientActive_) return;
  qxfw::monitor::RunningProgram program = qxfw::monitor::TrustedProgramOf(pid);
  if (program.path.empty()) return;
  events_.ImageLoaded(pid, program.path);
}

void FilterDaemon::LogRefusal(const CNETWORK_REQUEST& request, uint32_t uid) {
  if (!refusalLog_.Take(Clock::now())) return;
  in_addr remote{request.remoteAddress};
  syslog(LOG_WARNING,
         "pid %u uid %u: %s to %s:%u refused, %zu requests of the process and %zu of the user "
         "held (at most %zu and %zu)",
         request.processId, uid, request.protocol == kProtocolTcp ? "TCP connection" : "UDP flow",
         inet_ntoa(remote), ntohs(request.remotePort), table_.HeldOfProcess(uid, request.processId),
         table_.HeldOfUser(uid), table_.Limits().perProcess, table_.Limits().perUser);
}

void FilterDaemon::Tick(Clock::time_point now, bool flush) {
  long long seconds = 0;
  if (uint64_t more = refusalLog_.Due(now, flush, &seconds)) {
    syslog(LOG_WARNING, "%llu more requests refused over the hold limits in the last %lld s",
           static_cast<unsigned long long>(more), seconds);
  }
  if (uint64_t more = endRefusalLog_.Due(now, flush, &seconds)) {
    syslog(LOG_NOTICE, "%llu more ends of other users' connections refused in the last %lld s",
           static_cast<unsigned long long>(more), seconds);
  }
  if (uint64_t more = unparsedLog_.Due(now, flush, &seconds)) {
    syslog(LOG_WARNING, "%llu more packets not understood and passed in the last %lld s",
           static_cast<unsigned long long>(more), seconds);
  }
  if (queue_.Overruns() != overrunsLogged_) {
    overrunsLogged_ = queue_.Overruns();
    if (overrunLog_.Take(now)) {
      syslog(LOG_WARNING, "queue socket overrun: packets it could not take were dropped");
    }
  }
  if (uint64_t more = overrunLog_.Due(now, flush, &seconds)) {
    syslog(LOG_WARNING, "%llu more queue socket overruns in the last %lld s",
           static_cast<unsigned long long>(more), seconds);
  }
  device_.Tick(now, flush);
  if (!flush) systemd_.Tick(now);
}

int FilterDaemon::PollTimeout(Clock::time_point now) {
  Clock::time_point wake = now + std::chrono::seconds(1);
  wake = std::min({wake, table_.NextDeadline(), systemd_.NextPing(), refusalLog_.NextDue(),
                   endRefusalLog_.NextDue(), unparsedLog_.NextDue(), overrunLog_.NextDue(),
                   device_.NextTick()});
  if (clientActive_) {
    Clock::time_point waiting = table_.OldestWaiting();
    if (waiting != Clock::time_point::max()) {
      wake = std::min(wake, std::max(waiting, lastFetch_) +
                                std::chrono::seconds(options_.clientTimeoutSeconds));
    }
  }
  if (wake <= now) return 0;
  // Rounded up, so the loop wakes after the moment, not just before it.
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
}

void FilterDaemon::CheckClientAlive(Clock::time_point now) {
  if (!clientActive_ || !device_.HasClient()) return;
  Clock::time_point waitingSince = table_.OldestWaiting();
  if (waitingSince == Clock::time_point::max()) return;
  auto limit = std::chrono::seconds(options_.clientTimeoutSeconds);
  if (now - std::max(waitingSince, lastFetch_) < limit) return;
  // Treated as gone: what it holds passes, and so does what comes, until it fetches again (a
  // program that was only busy resumes filtering by itself); a new client may take the device.
  syslog(LOG_WARNING,
         "device client pid %d has not fetched for %d s while requests wait: traffic passes "
         "until it fetches again",
         clientPid_, options_.clientTimeoutSeconds);
  clientActive_ = false;
  clientAsleep_ = true;
  table_.ReleaseAll();
}

void FilterDaemon::Awake(Clock::time_point now) {
  lastFetch_ = now;
  if (!clientAsleep_) return;
  clientAsleep_ = false;
  clientActive_ = true;
  syslog(LOG_NOTICE, "device client pid %d fetches again: filtering resumes", clientPid_);
}

bool FilterDaemon::ClientReplaceable() {
  return clientAsleep_;
}

void FilterDaemon::OnClientAttached(pid_t pid, uid_t uid) {
  clientActive_ = true;
  clientAsleep_ = false;
  clientPid_ = pid;
  clientUid_ = uid;
  lastFetch_ = Clock::now();
  events_.ClearImages();
}

void FilterDaemon::OnClientGone() {
  clientActive_ = false;
  clientAsleep_ = false;
  table_.ReleaseAll();
  events_.ClearImages();
}

uint32_t FilterDaemon::HandOutRequest(uint32_t outputSize, std::vector<uint8_t>* output) {
  size_t form =
      options_.alignedRecords ? sizeof(CNETWORK_REQUEST_ALIGNED) : sizeof(CNETWORK_REQUEST);
  output->clear();
  if (outputSize < form) return kStatusSuccess;  // 0 bytes: the caller tries the other form
  CNETWORK_REQUEST request;
  if (!table_.Next(&request)) return ERROR_NO_DATA;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&request);
  CNETWORK_REQUEST_ALIGNED aligned;
  if (options_.alignedRecords) {
    aligned = RequestToAligned(request);
    bytes = reinterpret_cast<const uint8_t*>(&aligned);
  }
  output->assign(bytes, bytes + form);
  return kStatusSuccess;
}

uint32_t FilterDaemon::OnCall(const DeviceCall& call, std::vector<uint8_t>* output) {
  auto put = [output](const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    output->assign(bytes, bytes + size);
  };
  switch (call.controlCode) {
    case IOCTL_GET_NETWORK_REQUEST:
      Awake(Clock::now());
      return HandOutRequest(call.outputSize, output);
    case IOCTL_WAIT_NETWORK_REQUEST: {
      Awake(Clock::now());
      uint32_t status = HandOutRequest(call.outputSize, output);
      return status == ERROR_NO_DATA ? kAnswerLater : status;
    }
    case IOCTL_SET_VERDICT: {
      if (call.input.size() != sizeof(tagVERDICT)) return ERROR_INVALID_PARAMETER;
      tagVERDICT verdict;
      std::memcpy(&verdict, call.input.data(), sizeof(verdict));
      Clock::time_point now = Clock::now();
      verdictSpin_.Record(handedOut_, now);
      spinUntil_ = {};
      return table_.SetVerdict(verdict.requestHandle, verdict.verdict, now) ? kStatusSuccess
                                                                            : ERROR_NOT_FOUND;
    }
    case IOCTL_GET_IMAGE_LOAD: {
      size_t form = options_.alignedRecords ? sizeof(tagIMAGE_LOAD_A) : sizeof(tagIMAGE_LOAD_W);
      // Nothing for a buffer of the other form: the caller then asks with the other size. A
      // long-form buffer would hold a short record too, but could not tell it apart.
      if (call.outputSize < form) return kStatusSuccess;
      if (options_.alignedRecords && call.outputSize >= sizeof(tagIMAGE_LOAD_W)) {
        return kStatusSuccess;
      }
      pid_t pid;
      std::string path;
      if (!events_.NextImage(&pid, &path)) return ERROR_NO_DATA;
      if (options_.alignedRecords) {
        tagIMAGE_LOAD_A record = NarrowImageRecord(pid, path);
        put(&record, sizeof(record));
      } else {
        tagIMAGE_LOAD_W record = WideImageRecord(pid, path);
        put(&record, sizeof(record));
      }
      return kStatusSuccess;
    }
    case IOCTL_GET_PROCESS_NAME: {
      if (call.input.size() != 4 || call.outputSize == 0) return ERROR_INVALID_PARAMETER;
      uint32_t pid;
      std::memcpy(&pid, call.input.data(), 4);
      std::string name;
      if (pid == 0 ||
          !qxfw::platform::ReadWholeFile("/proc/" + std::to_string(pid) + "/comm", &name, 64)) {
        return ERROR_NOT_FOUND;
      }
      while (!name.empty() && name.back() == '\n') name.pop_back();
      name.resize(std::min<size_t>(name.size(), std::min<size_t>(call.outputSize, 260) - 1));
      put(name.c_str(), name.size() + 1);
      return kStatusSuccess;
    }
    case IOCTL_RELEASE:
      if (call.input.size() != 4) return ERROR_INVALID_PARAMETER;
      put(call.input.data(), 4);
      clientActive_ = false;  // from now on traffic passes, as with no client
      clientAsleep_ = false;
      table_.ReleaseAll();
      return kStatusSuccess;
    case IOCTL_END_TCP_CONNECTION: {
      if (call.input.size() != sizeof(tagEND_CONNECTION)) return ERROR_INVALID_PARAMETER;
      tagEND_CONNECTION end;
      std::memcpy(&end, call.input.data(), sizeof(end));
      return EndConnection(end);
    }
    case IOCTL_GET_DRIVER_INFO: {
      if (call.outputSize < sizeof(tagDRIVER_INFO)) return ERROR_INSUFFICIENT_BUFFER;
      tagDRIVER_INFO info{};
      info.protocolVersion = kDeviceProtocolVersion;
      info.requestSize = options_.alignedRecords ? 36 : 33;
      info.imageLoadSize = options_.alignedRecords ? 268 : 534;
      info.holdTimeoutSeconds = static_cast<uint32_t>(options_.holdTimeoutSeconds);
      info.heldRequests = static_cast<uint32_t>(table_.Held());
      put(&info, sizeof(info));
      return kStatusSuccess;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

uint32_t FilterDaemon::EndConnection(const tagEND_CONNECTION& end) {
  // The socket is looked up first and then destroyed by its cookie, so the owner checked is the
  // owner of what is aborted, even if the ends were taken by another socket in between.
  qxfw::monitor::InetSocketRow row;
  uint32_t owner = 0;
  int error = destroyer_->Lookup(IPPROTO_TCP, end.localAddress, end.localPort, end.remoteAddress,
                                 end.remotePort, &row, &owner);
  // The kernel's lookup falls back to a listener on the local port; that is not the connection.
  if (error == 0 && (row.localAddr != end.localAddress || row.localPort != end.localPort ||
                     row.remoteAddr != end.remoteAddress || row.remotePort != end.remotePort)) {
    error = ENOENT;
  }
  if (error == 0 && clientUid_ != 0 && owner != clientUid_) {
    if (endRefusalLog_.Take(Clock::now())) {
      syslog(LOG_NOTICE, "end of a connection of uid %u asked by uid %u: refused", owner,
             clientUid_);
    }
    return ERROR_ACCESS_DENIED;
  }
  if (error == 0) {
    error = destroyer_->Destroy(end.localAddress, end.localPort, end.remoteAddress, end.remotePort,
                                row.cookie);
  }
  if (error == 0) return kStatusSuccess;
  if (error == ENOENT || error == ESTALE) return ERROR_NOT_FOUND;
  if (error == EPERM || error == EACCES) return ERROR_ACCESS_DENIED;
  return ERROR_NOT_SUPPORTED;
}

}  // namespace qltdifw
