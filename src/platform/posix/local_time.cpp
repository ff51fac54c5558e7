#include "platform/local_time.h"

#include <ctime>

namespace qc::platform {

std::optional<CalendarTime> LocalCalendarTime(std::int64_t unixSeconds) {
  const auto t = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (::localtime_r(&t, &local) == nullptr) return std::nullopt;
  return CalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace qc::platform
