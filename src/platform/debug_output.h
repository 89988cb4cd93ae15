// Debug output: the one place where every module writes its diagnostic lines.
//
// A line is formatted printf-style into at most 4095 characters, trailing white space is
// removed and CR LF appended, as the product's debug lines have always been. It then goes to
// syslog (LOG_DEBUG, ident "qxfw"), to stderr when the environment has QXFW_DEBUG=1, and to
// the sink a test installed. Thread-safe: lines from several threads never interleave.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qxfw::platform {

// Writes one debug line. The text handed to syslog, stderr and the sink ends in "\r\n".
void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Same, for a text that is already formatted.
void DebugOutputText(const std::string& text);

// A sink receives every line (with its "\r\n"). Installing one replaces the previous sink;
// an empty function removes it. Meant for tests that check which debug lines were written.
using DebugSink = std::function<void(const std::string& line)>;
void SetDebugSink(DebugSink sink);

// Test helper: collects the debug lines written while it lives.
class ScopedDebugCapture {
 public:
  ScopedDebugCapture();
  ~ScopedDebugCapture();
  ScopedDebugCapture(const ScopedDebugCapture&) = delete;
  ScopedDebugCapture& operator=(const ScopedDebugCapture&) = delete;

  // Every captured line, "\r\n" removed.
  std::vector<std::string> Lines() const;
  // True when some captured line equals text exactly ("\r\n" removed).
  bool Contains(const std::string& text) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qxfw::platform
