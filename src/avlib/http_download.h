// Downloads one http(s) address into a file with libcurl: other schemes are refused, HTTP
// errors fail, the body is bounded, every wait has a time-out, and the file is written under a
// temporary name beside the target and renamed over it only when complete and synced.
// Thread-safe (each call has its own handle).
#pragma once
#include <cstdint>
#include <string>

namespace qxfw::avlib {

struct DownloadLimits {
  uint64_t max_bytes = 0;  // a longer body fails the download
  bool exact = false;      // the body must have exactly max_bytes bytes
  long connect_timeout_s = 10;
  long stall_timeout_s = 30;  // fails when under 1 byte/s for this long
  long total_timeout_s = 600;
};

// True when target now holds the body of url. On failure target is untouched, no temporary
// file stays, and error (when given) says why.
bool DownloadToFile(const std::string& url, const std::string& target, const DownloadLimits& limits,
                    std::string* error = nullptr);

// The address with every byte outside unreserved characters percent-escaped.
std::string EscapeUrlPart(const std::string& text);

}  // namespace qxfw::avlib
