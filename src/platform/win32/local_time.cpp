#include "platform/local_time.h"

#include "platform/os_windows.h"
#include "platform/win32/file_time.h"

namespace qc::platform {

// SystemTimeToTzSpecificLocalTime applies the offset the zone had on that date, summer
// time included, as the native localtime_r does.
std::optional<CalendarTime> LocalCalendarTime(std::int64_t unixSeconds) {
  const std::optional<FILETIME> utcTime = FileTimeOfUnixSeconds(unixSeconds);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!utcTime || !FileTimeToSystemTime(&*utcTime, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return CalendarTime{local.wYear, local.wMonth,  local.wDay,
                      local.wHour, local.wMinute, local.wSecond};
}

}  // namespace qc::platform
