#include "shell/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace qxfw::shell {
namespace {

constexpr size_t kMaxMessage = 4095;
constexpr char kStartLabel[] = "*****Filewall Started";
constexpr char kStopLabel[] = "Firewall Stoped";
// Written in place of a line whose message could not be formatted.
constexpr char kComponentPrefix[] = "[QXFW.exe]";
constexpr char kInternalError[] = "Logger Internal Error";

std::unique_ptr<CDebug>& ProcessLog() {
  static std::unique_ptr<CDebug> log;
  return log;
}

std::mutex& CreateMutex() {
  static std::mutex mutex;
  return mutex;
}

// Published once the process-wide log is complete, so Instance() needs no lock.
std::atomic<CDebug*> g_instance{nullptr};

}  // namespace

CDebug::CDebug(const std::string& pageFolder, Clock clock)
    : fileName_(pageFolder.empty() ? std::string("log.txt") : pageFolder + "/log.txt"),
      clock_(clock ? std::move(clock) : Clock(&platform::GetSystemTime)) {
  fd_.Reset(::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  WriteLine(kStartLabel, std::string());
}

CDebug::~CDebug() {
  CDebug* self = this;
  g_instance.compare_exchange_strong(self, nullptr);
  WriteLine(kStopLabel, std::string());
  fd_.Reset();
}

void CDebug::Log(const char* label, const char* format, ...) {
  if (!fd_.Valid()) return;
  char buffer[kMaxMessage + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) {
    WriteRaw(std::string(kComponentPrefix) + ": " + label + ": " + kInternalError + "\r\n");
    return;
  }
  std::string message(buffer, std::min<size_t>(static_cast<size_t>(n), kMaxMessage));
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) {
    message.pop_back();
  }
  WriteLine(label, message);
}

void CDebug::WriteLine(const char* label, const std::string& message) {
  if (!fd_.Valid()) return;
  platform::SYSTEMTIME t = clock_();
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "%04d:%02d:%02d %02d:%02d:%02d :: ", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond);
  std::string line = stamp;
  line += label;
  if (message.size() >= 2) {
    line += ':';
    line += message;
  }
  line += "\r\n";
  WriteRaw(line);
}

void CDebug::WriteRaw(const std::string& line) {
  if (!fd_.Valid()) return;
  // One write() per line keeps lines whole under O_APPEND; WriteAll only goes on when a signal
  // or a full disk cut that write short. Once it returns the kernel has the bytes, which is all
  // the flush after each line is for. A line that cannot be written is dropped.
  platform::WriteAll(fd_.Get(), line.data(), line.size());
}

CDebug& CDebug::Create(const std::string& pageFolder) {
  std::lock_guard<std::mutex> lock(CreateMutex());
  std::unique_ptr<CDebug>& log = ProcessLog();
  if (!log) {
    log = std::make_unique<CDebug>(pageFolder);
    g_instance.store(log.get());
  }
  return *log;
}

CDebug* CDebug::Instance() {
  return g_instance.load();
}

}  // namespace qxfw::shell
