// The local wall-clock time of a moment, as the user's clock shows it: what formats that
// know no time zone (the dates of a zip archive) have to be given.
#pragma once
#include <cstdint>
#include <optional>

namespace qc::platform {

struct CalendarTime {
  int year = 1970;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;  // 0 to 59 (60 for a leap second, where a system reports one)
};

// `unixSeconds` (since 1970-01-01 00:00:00 UTC) in the system's time zone, with the offset
// that zone had on that date (summer time included). None when the system cannot tell
// (a year it cannot represent).
std::optional<CalendarTime> LocalCalendarTime(std::int64_t unixSeconds);

}  // namespace qc::platform
