// The debug log "log.txt": the file in which the program records what it does.
//
// One process-wide instance is created at start-up with the page folder (Create) and lives to
// process end, when it writes its closing line; every module reaches it through Instance().
// Tests construct their own CDebug on a temporary folder and may replace the clock.
//
// Each line is
//   "YYYY:MM:DD hh:mm:ss :: <label>[:<message>]" CR LF      (UTC; see docs/formats/debug_log.md)
// and goes to the file in a single write() on a descriptor opened with O_APPEND, so lines
// written from several threads never interleave and no lock is taken. The file is shared for
// reading: no lock is held on it. A log whose file could not be opened writes nothing.
#pragma once

#include <functional>
#include <string>

#include "platform/file.h"
#include "platform/system_time.h"

namespace qxfw::shell {

class CDebug {
 public:
  using Clock = std::function<platform::SYSTEMTIME()>;

  // Opens "<pageFolder>/log.txt", or "log.txt" in the current folder when pageFolder is empty,
  // creating it when missing and appending to it, and writes the opening line. clock gives the
  // time of each line (UTC system time when null).
  explicit CDebug(const std::string& pageFolder, Clock clock = nullptr);
  // Writes the closing line and closes the file.
  ~CDebug();
  CDebug(const CDebug&) = delete;
  CDebug& operator=(const CDebug&) = delete;

  // Writes one line: label, then ":" and the printf-formatted message (at most 4095
  // characters, trailing white space removed) when the message has at least two characters.
  void Log(const char* label, const char* format, ...) __attribute__((format(printf, 3, 4)));

  bool IsOpen() const { return fd_.Valid(); }
  const std::string& FileName() const { return fileName_; }

  // The process-wide log. Create makes it on its first call (later calls return the same
  // object); Instance returns null until then. Both are thread-safe.
  static CDebug& Create(const std::string& pageFolder);
  static CDebug* Instance();

 private:
  void WriteLine(const char* label, const std::string& message);
  void WriteRaw(const std::string& line);

  std::string fileName_;
  platform::UniqueFd fd_;
  Clock clock_;
};

}  // namespace qxfw::shell
