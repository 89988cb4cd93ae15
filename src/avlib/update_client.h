// The signature update client: asks the update server for the current version words over
// TCP, then downloads the file lists and every listed file that is missing or differs into
// the engine folder (docs/formats/update_exchange.md).
//
// Safety: every list and every file must carry an Ed25519 signature by a trusted key (pinned
// at build time, or named by the root-owned "dvscan.ini" of the system folder); without one
// nothing is taken. Listed names are checked before they become paths. Everything is fetched
// into the staging folder ".update" of the engine folder; only when the whole update arrived
// and verified are the files renamed into place, then the superseded databases removed, so a
// failed update leaves the old files as they were and a library in use is never rewritten in
// place. The question has one deadline, downloads a minimum rate, the update a total budget,
// files a maximum size, and the disk must hold them. The version words in "dvupdate.ini" are
// written only after the commit, so a failed update is tried again next time. A downloaded
// "Recovery" program is never started.
//
// One update runs at a time per process (RunUpdate takes a lock); it runs on the caller's
// thread and calls the progress functions there.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "avlib/update_signature.h"

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

// The bounds of one update; the defaults are the product's, tests make them small.
struct UpdateLimits {
  int question_deadline_ms = 15000;  // the whole question, both ports together
  long min_rate_bytes = 4096;        // a download slower than this, averaged over...
  long min_rate_seconds = 15;        // ...this long, fails the update
  int64_t budget_ms = 30 * 60 * 1000;
  uint64_t max_file_bytes = 512ull << 20;
  uint64_t free_space_reserve = 16ull << 20;  // left free beyond the files to fetch
};

// The update settings of the system folder's "dvscan.ini", section [update]: "serverIP" (the
// update server) and "keys" (trusted public keys, hexadecimal, separated by ","). The file
// is used only when it and its folder belong to root or to the caller and nobody else may
// write them.
struct UpdateSettings {
  std::string server;
  std::vector<UpdateKey> keys;
};
UpdateSettings ReadUpdateSettings(const std::string& settings_folder);

// The keys built into the library (none unless the build named some).
std::vector<UpdateKey> PinnedUpdateKeys();

struct UpdateOptions {
  std::string engine_folder;
  bool check_only = false;
  bool basic = false;
  // Server address; empty: "serverIP" of [update] in <settings_folder>/dvscan.ini. There is
  // no default server.
  std::string server;
  std::string settings_folder;
  // Keys trusted besides the pinned ones and those of <settings_folder>/dvscan.ini.
  std::vector<UpdateKey> keys;
  UpdateLimits limits;
  // The port pair: the first is asked first unless "PortNum" names the second.
  uint16_t primary_port = 3939;
  uint16_t alternate_port = 80;
  int timeout_ms = 7000;  // one wait of the question
  const UpdateProgress* progress = nullptr;
};

// The staging folder inside the engine folder.
inline constexpr const char* kUpdateStaging = ".update";

// Runs one update; the result is the number of files downloaded or one of the codes above.
int32_t RunUpdate(const UpdateOptions& options);

// The port last answered ("PortNum": the user hive's value when the machine hive could not be
// written, else the machine hive's), 0 when none is stored.
uint32_t StoredUpdatePort();

}  // namespace qxfw::avlib
