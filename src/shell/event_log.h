// The firewall event log "QXFW.log" in the Windows folder: one line per new rule made from the
// access prompt and per press of its buttons.
//
// Each user opens its own writer (the access prompt holds one for its lifetime). The file is
// not shared: the writer holds an exclusive flock from open to close, so a second writer opened
// meanwhile fails and writes nothing. Lines are
//   "[QXFW_EVENT][Y.M.D - H<CP949 si>M<CP949 bun>] ..." CR LF
// with the two Korean units written as code page 949 bytes; docs/formats/event_log.md has the
// byte grammar. A writer belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/file.h"
#include "platform/system_time.h"

namespace qxfw::shell {

// Every line, CR LF included, fits in this many bytes with a terminating zero.
constexpr size_t kEventLineBuffer = 1024;

class CEventLog {
 public:
  using Clock = std::function<platform::SYSTEMTIME()>;

  // Opens "<WindowsFolder()>/QXFW.log".
  CEventLog();
  // Opens "<folder>/QXFW.log", creating the folder (and its parents) when missing. clock gives
  // the time of each line (local time when null). On failure writes
  // "[QXFW.exe] Error : Can not make log file" to the debug output.
  explicit CEventLog(const std::string& folder, Clock clock = nullptr);
  CEventLog(const CEventLog&) = delete;
  CEventLog& operator=(const CEventLog&) = delete;

  // "... Program Name : <path>, Action : <action>" for a rule just made (action 0 block,
  // 1 allow, 2 by policy table). path is the rule's zero-terminated path.
  bool WriteProgramRule(const char* path, int16_t action);
  // "... <text>".
  bool WriteText(const char* text);

  bool IsOpen() const { return fd_.Valid(); }
  const std::string& FileName() const { return fileName_; }

 private:
  bool WriteLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::string fileName_;
  platform::UniqueFd fd_;
  Clock clock_;
};

}  // namespace qxfw::shell
