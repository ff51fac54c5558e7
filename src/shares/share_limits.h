// A share's limits as the user types them: the native command's -limit and -until and the
// panel's fields read them by the same rules, in the same form.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "shares/share_registry.h"

namespace qc {

// A date and time as the user's clock shows it (-until), checked for a real calendar day.
struct LocalDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (a blank for the T too), or none.
std::optional<LocalDateTime> ParseLocalDateTime(const std::string& text);
// The moment `local` names in Unix seconds, by the user's clock (its rules for that day);
// none for a time the clock skips or cannot write.
std::optional<std::int64_t> UnixTimeOfLocal(const LocalDateTime& local);
// `unixSeconds` as the user's clock shows it, in the form ParseLocalDateTime reads
// ("2026-12-31T18:00", with ":SS" only when the seconds are not 0); empty when the system
// cannot tell.
std::string LocalDateTimeText(std::int64_t unixSeconds);

// A number of completed downloads: 1 to 9 digits, nothing else, not 0.
std::optional<std::uint64_t> ParseDownloadLimit(const std::string& text);

// What is wrong with typed limits.
enum class LimitFault {
  None,
  Downloads,      // not a whole number from 1 on
  EndForm,        // not a date and time in the form above
  EndUnwritable,  // a time this machine's clock skips or cannot write
  EndPassed,      // at or before `now`: the share would end at once
};
struct TypedLimits {
  LimitFault fault = LimitFault::None;
  ShareLimits limits;
};
// The limits two typed texts ask for: the number of downloads and the end time, either
// empty for none (blanks around them do not count). `now` in Unix seconds.
TypedLimits ReadTypedLimits(const std::string& downloads, const std::string& end, std::int64_t now);

}  // namespace qc
