// The 16-byte calendar time stored in rule slots and journal entries: eight little-endian
// u16 fields, year, month (1-12), day of week (0 = Sunday), day, hour, minute, second,
// milliseconds. Stateless and thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

namespace qxfw::platform {

struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

// Now, in local time and in UTC.
SYSTEMTIME GetLocalTime();
SYSTEMTIME GetSystemTime();

// Converts a moment (seconds and milliseconds since the epoch) to local calendar fields.
SYSTEMTIME LocalTimeFrom(time_t seconds, unsigned milliseconds);

}  // namespace qxfw::platform
