// Downloads one http(s) address into a file with libcurl: other schemes are refused, HTTP
// errors fail, the body is bounded, the whole transfer has a deadline and must keep a minimum
// rate, and the file is written under a temporary name beside the target and renamed over it
// only when complete and synced.
// Thread-safe (each call has its own handle).
#pragma once
#include <cstdint>
#include <string>

namespace qxfw::avlib {

struct DownloadLimits {
  uint64_t max_bytes = 0;  // a longer body fails the download
  bool exact = false;      // the body must have exactly max_bytes bytes
  long connect_timeout_ms = 10000;
  // Fails when fewer than min_rate_bytes arrive per second, averaged over min_rate_seconds: a
  // server that trickles cannot hold the update for long.
  long min_rate_bytes = 4096;
  long min_rate_seconds = 15;
  long total_timeout_ms = 600000;
};

// True when target now holds the body of url. On failure target is untouched, no temporary
// file stays, and error (when given) says why.
bool DownloadToFile(const std::string& url, const std::string& target, const DownloadLimits& limits,
                    std::string* error = nullptr);

// The address with every byte outside unreserved characters percent-escaped.
std::string EscapeUrlPart(const std::string& text);

}  // namespace qxfw::avlib
