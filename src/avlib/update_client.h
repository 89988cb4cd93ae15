// The signature update client: asks the update server for the current version words over
// TCP, then downloads the file lists and every listed file that is missing or differs into
// the engine folder (docs/formats/update_exchange.md).
//
// Safety: listed names are checked before they become paths; downloads are bounded by the
// listed size, fail on HTTP errors and time-outs, and land in a temporary file that is
// renamed over the old one, so a library in use is never rewritten in place. The version words
// in "dvupdate.ini" are written only after every listed file has arrived, so a failed update
// is tried again next time. A downloaded "Recovery" program is never started.
//
// One update runs at a time per process (RunUpdate takes a lock); it runs on the caller's
// thread and calls the progress functions there.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace qxfw::avlib {

// Result codes of an update.
inline constexpr int32_t kUpdateNothing = 0;
inline constexpr int32_t kUpdateNoConnection = -1;
inline constexpr int32_t kUpdateServerClosed = -2;
inline constexpr int32_t kUpdateFailed = -3;
inline constexpr int32_t kUpdateAvailable = -4;

inline constexpr const char* kPortKey = "Software\\Velmora\\Dorvane\\Update";
inline constexpr const char* kPortValue = "PortNum";

struct UpdateProgress {
  std::function<void(int32_t lines)> set_range;       // 0 .. lines of the fetched lists
  std::function<void()> step;                         // one list line read
  std::function<void(const std::string& path)> show;  // before each download: the local path
};

struct UpdateOptions {
  std::string engine_folder;
  bool check_only = false;
  bool basic = false;
  // Server address; empty: "serverIP" of [update] in <settings_folder>/dvscan.ini, else
  // kDefaultUpdateServer.
  std::string server;
  std::string settings_folder;
  // The port pair: the first is asked first unless "PortNum" names the second.
  uint16_t primary_port = 3939;
  uint16_t alternate_port = 80;
  int timeout_ms = 7000;
  const UpdateProgress* progress = nullptr;
};

inline constexpr const char* kDefaultUpdateServer = "127.0.0.1";

// Runs one update; the result is the number of files downloaded or one of the codes above.
int32_t RunUpdate(const UpdateOptions& options);

// The port last answered ("PortNum": the user hive's value when the machine hive could not be
// written, else the machine hive's), 0 when none is stored.
uint32_t StoredUpdatePort();

}  // namespace qxfw::avlib
