#include "platform/linux_facts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/text_split.h"

extern char** environ;

namespace qxfw::platform {
namespace {

constexpr size_t kMaxFactFile = 256u << 10;  // desktop entries, unit files, mimeapps.list
constexpr size_t kMaxChildOutput = 4096;
constexpr int kChildTimeoutMs = 3000;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string_view Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// Every value of key in [group] of a desktop-entry style file, in file order. Lines ending in
// "\" continue on the next line (as unit files allow).
std::vector<std::string> KeyFileValues(std::string_view text, std::string_view group,
                                       std::string_view key) {
  std::vector<std::string> values;
  bool in_group = false;
  std::string pending;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (!raw.empty() && raw.back() == '\\') {
      pending.append(raw.substr(0, raw.size() - 1));
      pending.push_back(' ');
      continue;
    }
    pending.append(raw);
    std::string joined = std::move(pending);
    pending.clear();
    std::string_view line = Trim(joined);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      in_group = line == std::string("[") + std::string(group) + "]";
      continue;
    }
    if (!in_group) continue;
    size_t equal = line.find('=');
    if (equal == std::string_view::npos || Trim(line.substr(0, equal)) != key) continue;
    values.emplace_back(Trim(line.substr(equal + 1)));
  }
  return values;
}

bool ReadFact(const std::string& path, std::string* text) {
  return ReadWholeFile(path, text, kMaxFactFile);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The absolute path of a program name, looked up in $PATH when it has no "/".
std::string ResolveProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  std::string path = Env("PATH");
  if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
  for (std::string_view folder : SplitNonEmpty(path, ':')) {
    std::string candidate = std::string(folder) + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

// Splits a command into its first word (quotes removed) and the rest.
void SplitCommand(std::string_view command, std::string* program, std::string* rest) {
  command = Trim(command);
  size_t end;
  if (!command.empty() && command[0] == '"') {
    end = command.find('"', 1);
    *program = std::string(command.substr(1, end == std::string_view::npos ? end : end - 1));
    end = end == std::string_view::npos ? command.size() : end + 1;
  } else {
    end = command.find_first_of(" \t");
    if (end == std::string_view::npos) end = command.size();
    *program = std::string(command.substr(0, end));
  }
  *rest = std::string(Trim(command.substr(end)));
}

std::string QuoteIfBlank(const std::string& program) {
  return program.find_first_of(" \t") == std::string::npos ? program : "\"" + program + "\"";
}

std::vector<std::string> XdgFolders(const char* home_var, const char* home_default,
                                    const char* dirs_var, const char* dirs_default) {
  std::vector<std::string> folders;
  std::string home = Env(home_var);
  folders.push_back(home.empty() ? HomeFolder() + home_default : home);
  std::string dirs = Env(dirs_var);
  if (dirs.empty()) dirs = dirs_default;
  for (std::string_view dir : SplitNonEmpty(dirs, ':')) folders.emplace_back(dir);
  return folders;
}

std::vector<std::string> DataFolders() {
  return XdgFolders("XDG_DATA_HOME", "/.local/share", "XDG_DATA_DIRS",
                    "/usr/local/share:/usr/share");
}

bool IsDesktopId(std::string_view id) {
  return id.size() > 8 && id.size() < 256 && id.find('/') == std::string_view::npos &&
         id.substr(id.size() - 8) == ".desktop";
}

// Runs program with args and returns its standard output (at most kMaxChildOutput bytes);
// "" when it cannot run, fails, or does not finish in time.
std::string RunForOutput(const std::string& program, const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {};
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end.Reset();
  if (spawned != 0) return {};

  std::string output;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildTimeoutMs);
  bool timed_out = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{read_end.Get(), POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    char buffer[512];
    ssize_t n = read(read_end.Get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < kMaxChildOutput) {
      output.append(buffer, std::min(static_cast<size_t>(n), kMaxChildOutput - output.size()));
    }
  }
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return output;
}

std::string BrowserIdFromXdgSettings() {
  const char* configured = std::getenv("QXFW_XDG_SETTINGS");
  std::string program =
      configured != nullptr ? std::string(configured) : ResolveProgram("xdg-settings");
  if (program.empty() || !IsExecutableFile(program)) return {};
  std::string id(Trim(RunForOutput(program, {"get", "default-web-browser"})));
  return IsDesktopId(id) ? id : "";
}

std::string BrowserIdFromMimeApps() {
  std::vector<std::string> files;
  for (const std::string& folder :
       XdgFolders("XDG_CONFIG_HOME", "/.config", "XDG_CONFIG_DIRS", "/etc/xdg")) {
    files.push_back(folder + "/mimeapps.list");
  }
  for (const std::string& folder : DataFolders()) {
    files.push_back(folder + "/applications/mimeapps.list");
  }
  for (const std::string& file : files) {
    std::string text;
    if (!ReadFact(file, &text)) continue;
    for (const std::string& list :
         KeyFileValues(text, "Default Applications", "x-scheme-handler/http")) {
      for (std::string_view piece : SplitNonEmpty(list, ';')) {
        std::string id(piece);
        if (IsDesktopId(id) && !FindDesktopEntry(id).empty()) return id;
      }
    }
  }
  return {};
}

std::string CommandFromDesktopId(const std::string& id) {
  std::string file = FindDesktopEntry(id);
  std::string text;
  if (file.empty() || !ReadFact(file, &text)) return {};
  std::string program;
  std::string rest;
  SplitCommand(DesktopEntryCommand(text), &program, &rest);
  std::string resolved = ResolveProgram(program);
  if (resolved.empty()) return {};
  std::string command = QuoteIfBlank(resolved);
  if (!rest.empty()) command += " " + rest;
  return command;
}

}  // namespace

std::string FindDesktopEntry(std::string_view desktop_id) {
  if (!IsDesktopId(desktop_id)) return {};
  for (const std::string& folder : DataFolders()) {
    std::string candidate = folder + "/applications/" + std::string(desktop_id);
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
  }
  return {};
}

std::string DesktopEntryCommand(std::string_view entry_text) {
  std::vector<std::string> execs = KeyFileValues(entry_text, "Desktop Entry", "Exec");
  if (execs.empty()) return {};
  const std::string& exec = execs.front();
  std::string out;
  for (size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '%' && i + 1 < exec.size()) {
      if (exec[i + 1] == '%') out.push_back('%');
      ++i;  // every other field code stands for files, URLs or icons we do not pass
      continue;
    }
    bool blank = exec[i] == ' ' || exec[i] == '\t';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out.push_back(blank ? ' ' : exec[i]);
  }
  return std::string(Trim(out));
}

std::string DefaultBrowserCommand() {
  std::string id = BrowserIdFromXdgSettings();
  if (id.empty()) id = BrowserIdFromMimeApps();
  if (!id.empty()) {
    std::string command = CommandFromDesktopId(id);
    if (!command.empty()) return command;
  }
  std::string link = Env("QXFW_WWW_BROWSER");
  if (link.empty()) link = "/usr/bin/x-www-browser";
  char resolved[PATH_MAX];
  if (realpath(link.c_str(), resolved) != nullptr && IsExecutableFile(resolved)) {
    return QuoteIfBlank(resolved);
  }
  return {};
}

std::vector<std::string> SystemdUnitFolders() {
  std::string configured = Env("QXFW_SYSTEMD_DIR");
  if (!configured.empty()) {
    std::vector<std::string> folders;
    for (std::string_view folder : SplitNonEmpty(configured, ':')) folders.emplace_back(folder);
    return folders;
  }
  return {"/etc/systemd/system", "/run/systemd/system", "/lib/systemd/system",
          "/usr/lib/systemd/system"};
}

std::string UnitExecStartProgram(std::string_view unit_text) {
  std::string effective;
  for (const std::string& line : KeyFileValues(unit_text, "Service", "ExecStart")) {
    if (line.empty()) {
      effective.clear();  // an empty assignment resets the list
    } else if (effective.empty()) {
      effective = line;
    }
  }
  std::string_view command = effective;
  while (!command.empty() && std::string_view("@-:+!").find(command[0]) != std::string_view::npos) {
    command.remove_prefix(1);
  }
  std::string program;
  std::string rest;
  SplitCommand(command, &program, &rest);
  return program;
}

std::string ServiceImagePath(std::string_view service_name) {
  std::vector<const char*> units;
  if (service_name == "Samss") {
    units = {"accounts-daemon.service", "systemd-logind.service"};
  } else if (service_name == "RpcSs") {
    units = {"dbus.service", "dbus-broker.service"};
  } else {
    return {};
  }
  std::vector<std::string> folders = SystemdUnitFolders();
  for (const char* unit : units) {
    for (const std::string& folder : folders) {
      std::string text;
      if (!ReadFact(folder + "/" + unit, &text)) continue;
      // The first folder holding the unit decides, even when its unit runs nothing (masked).
      std::string program = UnitExecStartProgram(text);
      if (!program.empty()) return QuoteIfBlank(program);
      break;
    }
  }
  return {};
}

}  // namespace qxfw::platform
