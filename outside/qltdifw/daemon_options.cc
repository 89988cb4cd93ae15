#include "daemon_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "device_server/request_table.h"

namespace qltdifw {
namespace {

constexpr const char* kUsage =
    "usage: qltdifw [--foreground] [--netns NAME] [--queue N] [--runtime-dir DIR]\n"
    "               [--user UID] [--hold-timeout SECONDS] [--client-timeout SECONDS]\n"
    "               [--spin-us N] [--aligned-records]\n"
    "\n"
    "The filter daemon: holds every new outgoing IPv4 TCP connection and UDP flow and asks the\n"
    "firewall program, through the device DIR/qltdifw.sock, whether to let it pass.\n"
    "\n"
    "One daemon runs per runtime folder: the device and the driver events live there, and a\n"
    "second daemon given the same folder does not start and names the running one's pid.\n"
    "Daemons with runtime folders of their own run side by side, each on a network namespace\n"
    "of its own (--netns); the program and qxfwctl find theirs through $QXFW_RUNTIME_DIR\n"
    "(default /run/qxfw).\n"
    "\n"
    "  --foreground        stay in the foreground and log to stderr as well as syslog\n"
    "  --netns NAME        filter the network namespace NAME (ip netns) instead of this one\n"
    "  --queue N           NFQUEUE queue number (default 0)\n"
    "  --runtime-dir DIR   folder of the device socket and the driver events (default\n"
    "                      /run/qxfw); it must belong to root and be writable by root only\n"
    "  --user UID          the user, besides root, who may open the device and the events\n"
    "                      (default: the user who ran pkexec or sudo)\n"
    "  --hold-timeout S    drop a request not answered within S seconds (default 30)\n"
    "  --client-timeout S  a client that has not fetched for S seconds while requests wait is\n"
    "                      treated as gone: what it holds passes (default 5)\n"
    "  --spin-us N         after handing out a request, look for its verdict N microseconds\n"
    "                      before sleeping, while verdicts come that fast (default 100;\n"
    "                      0 never; never on one CPU)\n"
    "  --aligned-records   answer with the 36-byte request and 268-byte image-load forms\n"
    "  --help              show this text\n"
    "\n"
    "Limits: a process may have 64 requests held at once and a user 256; beyond that its\n"
    "new connections are refused at once (TCP reset, ICMP port unreachable). A held request\n"
    "keeps its first SYN (TCP) or its first 4 datagrams (UDP); further packets of its flow\n"
    "are dropped until the verdict. A full kernel queue drops packets; it never passes them.\n"
    "Under systemd the daemon reports ready and pings the watchdog (Type=notify, WatchdogSec).\n";

// The limits the text names.
static_assert(HoldLimits{}.perProcess == 64 && HoldLimits{}.perUser == 256 &&
              HoldLimits{}.tcpPackets == 1 && HoldLimits{}.udpPackets == 4);

bool Number(const char* text, long low, long high, long* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int ParseDaemonOptions(int argc, char** argv, DaemonOptions* options) {
  for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
    long uid;
    if (Number(std::getenv(variable), 0, 0x7FFFFFFF, &uid)) {
      options->user = static_cast<uid_t>(uid);
      break;
    }
  }
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "qltdifw: %s\n%s", what, kUsage);
      return 2;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    } else if (arg == "--foreground") {
      options->foreground = true;
    } else if (arg == "--aligned-records") {
      options->alignedRecords = true;
    } else if (arg == "--netns") {
      if (value == nullptr || *value == '\0' || std::strchr(value, '/') != nullptr) {
        return bad("--netns needs a namespace name");
      }
      options->netns = value;
      ++i;
    } else if (arg == "--queue") {
      if (!Number(value, 0, 65535, &number)) return bad("--queue needs a number 0 to 65535");
      options->queue = static_cast<uint16_t>(number);
      ++i;
    } else if (arg == "--runtime-dir") {
      if (value == nullptr || value[0] != '/') return bad("--runtime-dir needs an absolute path");
      options->runtimeDir = value;
      ++i;
    } else if (arg == "--user") {
      if (!Number(value, 0, 0x7FFFFFFF, &number)) return bad("--user needs a numeric uid");
      options->user = static_cast<uid_t>(number);
      ++i;
    } else if (arg == "--hold-timeout") {
      if (!Number(value, 1, 86400, &number)) return bad("--hold-timeout needs 1 to 86400 seconds");
      options->holdTimeoutSeconds = static_cast<int>(number);
      ++i;
    } else if (arg == "--client-timeout") {
      if (!Number(value, 1, 3600, &number)) return bad("--client-timeout needs 1 to 3600 seconds");
      options->clientTimeoutSeconds = static_cast<int>(number);
      ++i;
    } else if (arg == "--spin-us") {
      if (!Number(value, 0, 10000, &number)) return bad("--spin-us needs 0 to 10000 microseconds");
      options->spinMicroseconds = static_cast<int>(number);
      ++i;
    } else {
      return bad(("unknown option " + std::string(arg)).c_str());
    }
  }
  return 0;
}

}  // namespace qltdifw
