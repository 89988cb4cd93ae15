#include "nfqueue/iptables_rules.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/debug_output.h"

extern char** environ;

namespace qltdifw {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

IptablesRules::IptablesRules(uint16_t queue, std::string netns)
    : queue_(queue), netns_(std::move(netns)), chain_("qltdifw-" + std::to_string(queue)) {}

IptablesRules::~IptablesRules() {
  if (installed_) Remove();
}

bool IptablesRules::Run(const std::string& args) const {
  std::vector<std::string> words;
  if (!netns_.empty()) words = {"ip", "netns", "exec", netns_};
  words.push_back("iptables");
  words.push_back("-w");
  for (std::string& word : Words(args)) words.push_back(std::move(word));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool IptablesRules::Install() {
  // Leftovers of a killed instance of this queue first: the jump (possibly several) and chain.
  while (Run("-t filter -D OUTPUT -j " + chain_)) {
  }
  Run("-t filter -F " + chain_);
  Run("-t filter -X " + chain_);

  char mark[64];
  std::snprintf(mark, sizeof(mark), "0x%X/0x%X", kBlockMark, kBlockMarkMask);
  std::string q = std::to_string(queue_);
  const std::string rules[] = {
      "-t filter -N " + chain_,
      "-t filter -A " + chain_ + " -o lo -j RETURN",
      "-t filter -A " + chain_ + " -p tcp -m mark --mark " + mark +
          " -j REJECT --reject-with tcp-reset",
      "-t filter -A " + chain_ + " -p udp -m mark --mark " + mark +
          " -j REJECT --reject-with icmp-port-unreachable",
      "-t filter -A " + chain_ +
          " -p tcp --syn -m conntrack --ctstate NEW -j NFQUEUE --queue-num " + q +
          " --queue-bypass",
      "-t filter -A " + chain_ + " -p udp -m conntrack --ctstate NEW -j NFQUEUE --queue-num " + q +
          " --queue-bypass",
      "-t filter -I OUTPUT 1 -j " + chain_,
  };
  installed_ = true;  // from here on Remove cleans up whatever part got in
  for (const std::string& rule : rules) {
    if (!Run(rule)) {
      qxfw::platform::DebugOutput("[QLTDIFW] iptables %s failed", rule.c_str());
      Remove();
      return false;
    }
  }
  return true;
}

void IptablesRules::Remove() {
  while (Run("-t filter -D OUTPUT -j " + chain_)) {
  }
  Run("-t filter -F " + chain_);
  Run("-t filter -X " + chain_);
  installed_ = false;
}

}  // namespace qltdifw
