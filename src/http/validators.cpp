#include "http/validators.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace qc {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// The years four digits write.
constexpr std::int64_t kFirstYear = 0;
constexpr std::int64_t kLastYear = 9999;

constexpr std::string_view kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kLongDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};
constexpr std::string_view kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

struct CivilDate {
  std::int64_t year;
  int month;  // 1 to 12
  int day;    // 1 to 31
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back: the
// calendar repeats every 400 years (146097 days), counted here from March so that the
// leap day is the last day of its year.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = FloorDiv(year, 400);
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = FloorDiv(days, 146097);
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  const int month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool IsLeapYear(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(std::int64_t year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

void AppendDigits(std::string& out, std::int64_t value, int width) {
  char digits[4];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<std::size_t>(width));
}

void AppendHex(std::string& out, std::uint64_t value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, 16);
  out.append(digits, result.ptr);
}

// The digits of text[at, at + width), all of them digits; -1 otherwise.
std::int64_t ReadDigits(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) return -1;
  std::int64_t value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The index of text[at, at + name's length) in `names`, or -1.
template <std::size_t N>
int ReadName(std::string_view text, std::size_t at, const std::string_view (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (text.substr(at, names[i].size()) == names[i]) return static_cast<int>(i);
  }
  return -1;
}

bool HasAt(std::string_view text, std::size_t at, std::string_view part) {
  return text.substr(at, part.size()) == part;
}

// "HH:MM:SS" at `at`, as seconds into the day; -1 when it is not one. A second of 60 (a
// leap second) is allowed.
std::int64_t ReadTimeOfDay(std::string_view text, std::size_t at) {
  if (!HasAt(text, at + 2, ":") || !HasAt(text, at + 5, ":")) return -1;
  const std::int64_t hour = ReadDigits(text, at, 2);
  const std::int64_t minute = ReadDigits(text, at + 3, 2);
  const std::int64_t second = ReadDigits(text, at + 6, 2);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) return -1;
  return hour * 3600 + minute * 60 + second;
}

std::optional<std::int64_t> Compose(std::int64_t year, int month, std::int64_t day,
                                    std::int64_t timeOfDay) {
  if (year < kFirstYear || year > kLastYear || month < 1 || timeOfDay < 0) return std::nullopt;
  if (day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  return DaysFromCivil(year, month, static_cast<int>(day)) * kSecondsPerDay + timeOfDay;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::optional<std::int64_t> ParseImfFixdate(std::string_view text) {
  if (text.size() != 29 || ReadName(text, 0, kDayNames) < 0 || !HasAt(text, 3, ", ") ||
      !HasAt(text, 7, " ") || !HasAt(text, 11, " ") || !HasAt(text, 16, " ") ||
      !HasAt(text, 25, " GMT")) {
    return std::nullopt;
  }
  return Compose(ReadDigits(text, 12, 4), ReadName(text, 8, kMonthNames) + 1,
                 ReadDigits(text, 5, 2), ReadTimeOfDay(text, 17));
}

// "Sunday, 06-Nov-94 08:49:37 GMT"
std::optional<std::int64_t> ParseRfc850Date(std::string_view text, std::int64_t now) {
  const int weekday = ReadName(text, 0, kLongDayNames);
  if (weekday < 0) return std::nullopt;
  const std::size_t at = kLongDayNames[weekday].size();
  if (text.size() != at + 24 || !HasAt(text, at, ", ") || !HasAt(text, at + 4, "-") ||
      !HasAt(text, at + 8, "-") || !HasAt(text, at + 11, " ") || !HasAt(text, at + 20, " GMT")) {
    return std::nullopt;
  }
  const std::int64_t twoDigits = ReadDigits(text, at + 9, 2);
  if (twoDigits < 0) return std::nullopt;
  const std::int64_t thisYear = CivilFromDays(FloorDiv(now, kSecondsPerDay)).year;
  std::int64_t year = FloorDiv(thisYear, 100) * 100 + twoDigits;
  if (year > thisYear + 50) year -= 100;
  return Compose(year, ReadName(text, at + 5, kMonthNames) + 1, ReadDigits(text, at + 2, 2),
                 ReadTimeOfDay(text, at + 12));
}

// "Sun Nov  6 08:49:37 1994"
std::optional<std::int64_t> ParseAsctimeDate(std::string_view text) {
  if (text.size() != 24 || ReadName(text, 0, kDayNames) < 0 || !HasAt(text, 3, " ") ||
      !HasAt(text, 7, " ") || !HasAt(text, 10, " ") || !HasAt(text, 19, " ")) {
    return std::nullopt;
  }
  const std::int64_t day = text[8] == ' ' ? ReadDigits(text, 9, 1) : ReadDigits(text, 8, 2);
  return Compose(ReadDigits(text, 20, 4), ReadName(text, 4, kMonthNames) + 1, day,
                 ReadTimeOfDay(text, 11));
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<std::string> FormatHttpDate(std::int64_t unixSeconds) {
  const std::int64_t days = FloorDiv(unixSeconds, kSecondsPerDay);
  std::int64_t timeOfDay = unixSeconds % kSecondsPerDay;
  if (timeOfDay < 0) timeOfDay += kSecondsPerDay;
  const CivilDate date = CivilFromDays(days);
  if (date.year < kFirstYear || date.year > kLastYear) return std::nullopt;
  std::string out;
  out.reserve(29);
  // 1970-01-01 was a Thursday.
  const std::int64_t weekday = days + 4 - FloorDiv(days + 4, 7) * 7;
  out.append(kDayNames[weekday]).append(", ");
  AppendDigits(out, date.day, 2);
  out.append(" ").append(kMonthNames[date.month - 1]).append(" ");
  AppendDigits(out, date.year, 4);
  out.append(" ");
  AppendDigits(out, timeOfDay / 3600, 2);
  out.append(":");
  AppendDigits(out, timeOfDay / 60 % 60, 2);
  out.append(":");
  AppendDigits(out, timeOfDay % 60, 2);
  out.append(" GMT");
  return out;
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text, std::int64_t now) {
  if (auto seconds = ParseImfFixdate(text)) return seconds;
  if (auto seconds = ParseRfc850Date(text, now)) return seconds;
  return ParseAsctimeDate(text);
}

Validators ValidatorsOf(const platform::FileVersion& version) {
  Validators validators;
  // Hex fields: the size, the time in seconds and its fraction, then where the file lives.
  // The time is written as an unsigned number, so no field carries a sign.
  std::string& tag = validators.entityTag;
  tag.reserve(80);
  tag.push_back('"');
  AppendHex(tag, static_cast<std::uint64_t>(version.size));
  tag.push_back('-');
  AppendHex(tag, static_cast<std::uint64_t>(version.modifiedSeconds));
  tag.push_back('.');
  AppendHex(tag, static_cast<std::uint64_t>(version.modifiedNanoseconds));
  tag.push_back('-');
  AppendHex(tag, version.volume);
  tag.push_back('-');
  AppendHex(tag, version.fileIndex);
  // Where the system keeps a change time apart from the modification time.
  if (version.changedSeconds != 0 || version.changedNanoseconds != 0) {
    tag.push_back('-');
    AppendHex(tag, static_cast<std::uint64_t>(version.changedSeconds));
    tag.push_back('.');
    AppendHex(tag, static_cast<std::uint64_t>(version.changedNanoseconds));
  }
  tag.push_back('"');
  validators.lastModified = FormatHttpDate(version.modifiedSeconds);
  validators.modifiedSeconds = version.modifiedSeconds;
  const bool changedLater = version.changedSeconds > version.modifiedSeconds ||
                            (version.changedSeconds == version.modifiedSeconds &&
                             version.changedNanoseconds > version.modifiedNanoseconds);
  validators.lastChangeSeconds = changedLater ? version.changedSeconds : version.modifiedSeconds;
  validators.lastChangeNanoseconds =
      changedLater ? version.changedNanoseconds : version.modifiedNanoseconds;
  return validators;
}

Validators ArchiveValidators(std::string entityTag, const platform::FileVersion& newest) {
  Validators validators = ValidatorsOf(newest);
  validators.entityTag = std::move(entityTag);
  return validators;
}

bool AnyEntityTagMatches(std::string_view list, std::string_view entityTag,
                         TagComparison comparison) {
  std::size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < list.size() && IsBlank(list[i])) ++i;
  };
  skipBlanks();
  if (list.substr(i, 1) == "*") {
    ++i;
    skipBlanks();
    return i == list.size();
  }
  bool matched = false;
  for (;;) {
    // Empty list elements (", ,") are allowed.
    while (i < list.size() && (IsBlank(list[i]) || list[i] == ',')) ++i;
    if (i == list.size()) return matched;
    // A weak tag compares by its opaque part, and only weakly.
    const bool weak = list.substr(i, 2) == "W/";
    if (weak) i += 2;
    if (i >= list.size() || list[i] != '"') return false;
    const std::size_t close = list.find('"', i + 1);
    if (close == std::string_view::npos) return false;
    if (list.substr(i, close - i + 1) == entityTag &&
        (!weak || comparison == TagComparison::Weak)) {
      matched = true;
    }
    i = close + 1;
    skipBlanks();
    if (i < list.size() && list[i] != ',') return false;
  }
}

bool IfRangeHolds(std::string_view value, const Validators& validators, std::int64_t now) {
  if (!value.empty() && value.front() == '"') return value == validators.entityTag;
  const std::optional<std::int64_t> date = ParseHttpDate(value, now);
  if (!date) return false;
  // The last change at or before date - 1 s, at full resolution (a parsed date is far from
  // the limits of its type; a file's time need not be).
  const std::int64_t latest = *date - 1;
  return validators.lastChangeSeconds < latest ||
         (validators.lastChangeSeconds == latest && validators.lastChangeNanoseconds == 0);
}

bool PreconditionFails(const Request& request, const Validators& validators, std::int64_t now) {
  if (request.ifMatch) {
    return !AnyEntityTagMatches(*request.ifMatch, validators.entityTag, TagComparison::Strong);
  }
  if (!request.ifUnmodifiedSince) return false;
  const std::optional<std::int64_t> since = ParseHttpDate(*request.ifUnmodifiedSince, now);
  return since && validators.modifiedSeconds > *since;
}

bool IsNotModified(const Request& request, const Validators& validators, std::int64_t now) {
  if (request.ifNoneMatch) return AnyEntityTagMatches(*request.ifNoneMatch, validators.entityTag);
  if (!request.ifModifiedSince) return false;
  const std::optional<std::int64_t> since = ParseHttpDate(*request.ifModifiedSince, now);
  return since && validators.modifiedSeconds <= *since;
}

}  // namespace qc
