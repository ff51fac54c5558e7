#include "shares/share_limits.h"

#include <cstdio>
#include <ctime>

#include "platform/local_time.h"

namespace qc {

std::optional<LocalDateTime> ParseLocalDateTime(const std::string& text) {
  // Fixed positions: "2026-12-31T18:00" or with ":SS".
  if (text.size() != 16 && text.size() != 19) return std::nullopt;
  const auto field = [&text](std::size_t at, std::size_t length) -> std::optional<int> {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  if (text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') || text[13] != ':' ||
      (text.size() == 19 && text[16] != ':')) {
    return std::nullopt;
  }
  const auto year = field(0, 4), month = field(5, 2), day = field(8, 2), hour = field(11, 2),
             minute = field(14, 2);
  const auto second = text.size() == 19 ? field(17, 2) : std::optional<int>(0);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*year < 1970 || *month < 1 || *month > 12 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
  const int days = kDays[*month - 1] + (*month == 2 && leap ? 1 : 0);
  if (*day < 1 || *day > days) return std::nullopt;
  return LocalDateTime{*year, *month, *day, *hour, *minute, *second};
}

std::optional<std::int64_t> UnixTimeOfLocal(const LocalDateTime& local) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::string LocalDateTimeText(std::int64_t unixSeconds) {
  const std::optional<platform::CalendarTime> local = platform::LocalCalendarTime(unixSeconds);
  if (!local) return std::string();
  char text[32];
  const int second = local->second > 59 ? 59 : local->second;
  if (second != 0) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local->year, local->month,
                  local->day, local->hour, local->minute, second);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", local->year, local->month,
                  local->day, local->hour, local->minute);
  }
  return text;
}

std::optional<std::uint64_t> ParseDownloadLimit(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value == 0) return std::nullopt;
  return value;
}

namespace {
std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}
}  // namespace

TypedLimits ReadTypedLimits(const std::string& downloads, const std::string& end,
                            std::int64_t now) {
  TypedLimits typed;
  const std::string count = Trimmed(downloads);
  if (!count.empty()) {
    const std::optional<std::uint64_t> limit = ParseDownloadLimit(count);
    if (!limit) return {LimitFault::Downloads, {}};
    typed.limits.maxDownloads = *limit;
  }
  const std::string moment = Trimmed(end);
  if (!moment.empty()) {
    const std::optional<LocalDateTime> local = ParseLocalDateTime(moment);
    if (!local) return {LimitFault::EndForm, {}};
    const std::optional<std::int64_t> until = UnixTimeOfLocal(*local);
    if (!until) return {LimitFault::EndUnwritable, {}};
    if (*until <= now) return {LimitFault::EndPassed, {}};
    typed.limits.until = *until;
  }
  return typed;
}

}  // namespace qc
