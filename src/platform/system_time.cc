#include "platform/system_time.h"

#include <chrono>

namespace qxfw::platform {
namespace {

SYSTEMTIME FromTm(const tm& t, unsigned milliseconds) {
  SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(t.tm_year + 1900);
  st.wMonth = static_cast<uint16_t>(t.tm_mon + 1);
  st.wDayOfWeek = static_cast<uint16_t>(t.tm_wday);
  st.wDay = static_cast<uint16_t>(t.tm_mday);
  st.wHour = static_cast<uint16_t>(t.tm_hour);
  st.wMinute = static_cast<uint16_t>(t.tm_min);
  st.wSecond = static_cast<uint16_t>(t.tm_sec);
  st.wMilliseconds = static_cast<uint16_t>(milliseconds);
  return st;
}

void Now(time_t* seconds, unsigned* milliseconds) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  *seconds = static_cast<time_t>(ms / 1000);
  *milliseconds = static_cast<unsigned>(ms % 1000);
}

}  // namespace

SYSTEMTIME LocalTimeFrom(time_t seconds, unsigned milliseconds) {
  tm t{};
  localtime_r(&seconds, &t);
  return FromTm(t, milliseconds);
}

SYSTEMTIME GetLocalTime() {
  time_t s;
  unsigned ms;
  Now(&s, &ms);
  return LocalTimeFrom(s, ms);
}

SYSTEMTIME GetSystemTime() {
  time_t s;
  unsigned ms;
  Now(&s, &ms);
  tm t{};
  gmtime_r(&s, &t);
  return FromTm(t, ms);
}

}  // namespace qxfw::platform
