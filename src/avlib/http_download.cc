#include "avlib/http_download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/file.h"

namespace qxfw::avlib {
namespace {

struct Sink {
  int fd = -1;
  uint64_t written = 0;
  uint64_t max_bytes = 0;
  bool failed = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (sink->written + bytes > sink->max_bytes || !platform::WriteAll(sink->fd, data, bytes)) {
    sink->failed = true;
    return 0;  // makes curl stop with a write error
  }
  sink->written += bytes;
  return bytes;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsHttpAddress(const std::string& url) {
  auto starts = [&](const char* head) { return strncasecmp(url.c_str(), head, strlen(head)) == 0; };
  return starts("http://") || starts("https://");
}

}  // namespace

std::string EscapeUrlPart(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool DownloadToFile(const std::string& url, const std::string& target, const DownloadLimits& limits,
                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!IsHttpAddress(url)) return fail("not an http or https address");
  InitCurlOnce();

  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
  std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = folder + "/." + leaf.substr(0, 200) + ".part.XXXXXX";
  platform::UniqueFd fd(mkstemp(temp.data()));
  if (!fd.Valid()) return fail("cannot create a temporary file beside " + target);
  auto discard = [&](const std::string& why) {
    fd.Reset();
    unlink(temp.c_str());
    return fail(why);
  };

  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return discard("no download handle");
  Sink sink{fd.Get(), 0, limits.max_bytes, false};
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (limits.total_timeout_ms <= 0) return discard("no time left for the download");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   std::min(limits.connect_timeout_ms, limits.total_timeout_ms));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits.total_timeout_ms);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, limits.min_rate_bytes));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, std::max(1L, limits.min_rate_seconds));
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_bytes));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    return discard(sink.failed ? "body longer than allowed or not writable"
                               : std::string(curl_easy_strerror(code)));
  }
  if (limits.exact && sink.written != limits.max_bytes) {
    return discard("body of " + std::to_string(sink.written) + " bytes, listed " +
                   std::to_string(limits.max_bytes));
  }
  if (fsync(fd.Get()) != 0 || fchmod(fd.Get(), 0644) != 0 || close(fd.Release()) != 0) {
    unlink(temp.c_str());
    return fail("cannot complete the temporary file");
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return fail("cannot rename the temporary file over " + target);
  }
  return true;
}

}  // namespace qxfw::avlib
