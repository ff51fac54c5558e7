// What lets a client check that the file it holds part of is still the one being served,
// and the conditional answers built on that: a strong entity tag and the last-modified
// date of the open file, and the If-Range, If-None-Match and If-Modified-Since rules.
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
};

// The entity tag changes whenever the size, the modification time (at full resolution) or
// the file's identity does; the date is the modification time rounded down to the second.
Validators ValidatorsOf(const platform::FileVersion& version);

// If-None-Match: "*", or a list of entity tags one of which equals ours when weakness is
// ignored. A list that is not well formed matches nothing, so the file is sent.
bool AnyEntityTagMatches(std::string_view list, std::string_view entityTag);

// If-Range: true when the client's copy is this version, so the range may be sent. Only
// our strong tag, or the very Last-Modified text we send, matches; a weak tag, another
// date form or anything malformed does not, and the whole file goes out instead.
bool IfRangeHolds(std::string_view value, const Validators& validators);

// Whether the answer is "304 Not Modified": If-None-Match decides when present, else
// If-Modified-Since (ignored unless it is a valid date). `now` resolves two-digit years.
bool IsNotModified(const Request& request, const Validators& validators, std::int64_t now);

}  // namespace qc
