#include "shell/event_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/debug_output.h"
#include "platform/folders.h"

namespace qxfw::shell {
namespace {

// Time prefix of every line. "\xBD\xC3" and "\xBA\xD0" are the Korean units for hour and
// minute in code page 949; the file has always been written in that code page, whatever the
// locale, so the bytes are fixed here.
#define QXFW_EVENT_PREFIX "[QXFW_EVENT][%d.%d.%d - %d\xBD\xC3%d\xBA\xD0] "

// Creates every missing level of folder.
void MakeFolders(const std::string& folder) {
  for (size_t pos = folder.find('/', 1); pos != std::string::npos;
       pos = folder.find('/', pos + 1)) {
    platform::EnsureFolder(folder.substr(0, pos));
  }
  platform::EnsureFolder(folder);
}

// "Created as new, else opened as existing", without sharing.
platform::UniqueFd OpenUnshared(const std::string& path) {
  platform::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
  if (!fd.Valid() && errno == EEXIST) {
    fd.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  }
  if (fd.Valid() && ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) fd.Reset();
  return fd;
}

}  // namespace

CEventLog::CEventLog() : CEventLog(platform::WindowsFolder()) {}

CEventLog::CEventLog(const std::string& folder, Clock clock)
    : fileName_(folder + "/QXFW.log"),
      clock_(clock ? std::move(clock) : Clock(&platform::GetLocalTime)) {
  if (!folder.empty()) MakeFolders(folder);
  fd_ = OpenUnshared(fileName_);
  if (!fd_.Valid()) platform::DebugOutput("[QXFW.exe] Error : Can not make log file");
}

bool CEventLog::WriteProgramRule(const char* path, int16_t action) {
  platform::SYSTEMTIME t = clock_();
  return WriteLine(QXFW_EVENT_PREFIX "Program Name : %s, Action : %d\r\n", t.wYear, t.wMonth,
                   t.wDay, t.wHour, t.wMinute, path != nullptr ? path : "", action);
}

bool CEventLog::WriteText(const char* text) {
  platform::SYSTEMTIME t = clock_();
  return WriteLine(QXFW_EVENT_PREFIX "%s\r\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                   text != nullptr ? text : "");
}

bool CEventLog::WriteLine(const char* format, ...) {
  char line[kEventLineBuffer];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  size_t length = n < 0 ? 0 : static_cast<size_t>(n);
  if (length >= sizeof(line)) {
    // Too long for the buffer: keep as much as fits, never half a UTF-8 sequence, and end the
    // line properly so the next one starts on its own line.
    length = sizeof(line) - 3;
    for (int back = 0; back < 3 && (static_cast<unsigned char>(line[length]) & 0xC0) == 0x80;
         ++back) {
      --length;
    }
    line[length++] = '\r';
    line[length++] = '\n';
  }
  bool written = false;
  if (fd_.Valid() && length > 0) {
    // O_APPEND puts every write at the current end of the file.
    ssize_t w;
    do {
      w = ::write(fd_.Get(), line, length);
    } while (w < 0 && errno == EINTR);
    written = w == static_cast<ssize_t>(length);
  }
  if (!written) platform::DebugOutput("[QXFW.exe] Error : Can not write log");
  return written;
}

#undef QXFW_EVENT_PREFIX

}  // namespace qxfw::shell
