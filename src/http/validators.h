// What lets a client check that the file it holds part of is still the one being served,
// and the conditional answers built on that: a strong entity tag and the last-modified
// date of the open file, and the If-Match, If-Unmodified-Since, If-None-Match,
// If-Modified-Since and If-Range rules.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/request.h"
#include "platform/file.h"

namespace qc {

// "Sun, 06 Nov 1994 08:49:37 GMT" for a time in seconds since 1970 (UTC), by arithmetic
// alone: no locale, no time zone. None for a year that four digits cannot write.
std::optional<std::string> FormatHttpDate(std::int64_t unixSeconds);

// Any of the three forms an HTTP date may take (IMF-fixdate, the obsolete RFC 850 form
// and asctime's), as seconds since 1970; none for anything else. A two-digit year is the
// latest one with those digits that is no more than 50 years after `now` (seconds since
// 1970), as the HTTP rules ask.
std::optional<std::int64_t> ParseHttpDate(std::string_view text, std::int64_t now);

// The validators of one version of a file.
struct Validators {
  std::string entityTag;                    // quoted, strong
  std::optional<std::string> lastModified;  // none when the date cannot be written
  std::int64_t modifiedSeconds = 0;
  // The file's last change at full resolution: the later of its modification time and,
  // natively, its change time (which a tool that sets the modification time back, as a
  // copy that keeps the source's time does, cannot set back).
  std::int64_t lastChangeSeconds = 0;
  std::int32_t lastChangeNanoseconds = 0;
};

// The entity tag changes whenever the size, the modification time (at full resolution),
// the change time (natively) or the file's identity does; the date is the modification
// time rounded down to the second.
Validators ValidatorsOf(const platform::FileVersion& version);

// The validators of a folder share's archive: its own tag (ZipArchive::EntityTag), and the
// dates of `newest`, the newest modification and change times of anything in the folder.
Validators ArchiveValidators(std::string entityTag, const platform::FileVersion& newest);

// How two entity tags compare: weakly (the W/ prefix ignored: If-None-Match) or strongly
// (a weak tag never matches: If-Match).
enum class TagComparison { Weak, Strong };

// "*", or a list of entity tags one of which equals ours by `comparison`. A list that is
// not well formed matches nothing.
bool AnyEntityTagMatches(std::string_view list, std::string_view entityTag,
                         TagComparison comparison = TagComparison::Weak);

// If-Range: true when the client's copy is this version, so the range may be sent. A tag
// matches only when it is our strong tag. A date (any of the three forms) matches only
// when the file's last change lies at least a second before it: a date within the second
// of a change cannot tell the versions of that second apart, so the Last-Modified text we
// send, read back, never matches by itself. Anything else does not hold, and the whole
// file goes out instead. `now` resolves two-digit years.
bool IfRangeHolds(std::string_view value, const Validators& validators, std::int64_t now);

// Whether the answer is "412 Precondition Failed", in RFC 9110's order: If-Match (strong
// comparison; "*" holds for any file) decides when present, else If-Unmodified-Since
// (ignored unless it is a valid date) fails when the file was modified after it.
bool PreconditionFails(const Request& request, const Validators& validators, std::int64_t now);

// Whether the answer is "304 Not Modified": If-None-Match decides when present, else
// If-Modified-Since (ignored unless it is a valid date). `now` resolves two-digit years.
bool IsNotModified(const Request& request, const Validators& validators, std::int64_t now);

}  // namespace qc
