#include "platform/debug_output.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qxfw::platform {
namespace {

constexpr size_t kMaxDebugText = 4095;

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

bool StderrWanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("QXFW_DEBUG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return wanted;
}

void Emit(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  text += "\r\n";
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("qxfw", LOG_PID | LOG_NDELAY, LOG_USER); });
  syslog(LOG_DEBUG, "%.*s", static_cast<int>(text.size() - 2), text.c_str());
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (StderrWanted()) {
    ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
  }
  if (Sink()) Sink()(text);
}

}  // namespace

void DebugOutput(const char* format, ...) {
  char buffer[kMaxDebugText + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) return;
  Emit(std::string(buffer, std::min<size_t>(static_cast<size_t>(n), kMaxDebugText)));
}

void DebugOutputText(const std::string& text) {
  Emit(text.substr(0, kMaxDebugText));
}

void SetDebugSink(DebugSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

struct ScopedDebugCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

ScopedDebugCapture::ScopedDebugCapture() : state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  SetDebugSink([weak](const std::string& line) {
    if (auto state = weak.lock()) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.push_back(line.substr(0, line.size() - 2));
    }
  });
}

ScopedDebugCapture::~ScopedDebugCapture() {
  SetDebugSink(nullptr);
}

std::vector<std::string> ScopedDebugCapture::Lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

bool ScopedDebugCapture::Contains(const std::string& text) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return std::find(state_->lines.begin(), state_->lines.end(), text) != state_->lines.end();
}

}  // namespace qxfw::platform
