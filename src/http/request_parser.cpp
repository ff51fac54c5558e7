#include "http/request_parser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/link_preview.h"
#include "platform/codepage.h"

namespace qc {

namespace {

// The tokens the parser knows, upper case; letters in the head match in either case. A
// header's value starts right after its token, so each token's length is the offset of
// its value in the line.
constexpr std::string_view kGet = "GET ";
constexpr std::string_view kHead = "HEAD ";
constexpr std::string_view kRange = "RANGE: ";  // a blank after the colon is part of it
constexpr std::string_view kBytesUnit = "BYTES";
constexpr std::string_view kConnection = "CONNECTION: ";
constexpr std::string_view kCloseValue = "CLOSE";
constexpr std::string_view kKeepAliveValue = "KEEP-ALIVE";
// No blank is required after these colons: a preview that went unrecognised would use up
// a one-shot share, and an overlooked condition would send the wrong bytes.
constexpr std::string_view kUserAgent = "USER-AGENT:";
constexpr std::string_view kIfRange = "IF-RANGE:";
constexpr std::string_view kIfNoneMatch = "IF-NONE-MATCH:";
constexpr std::string_view kIfModifiedSince = "IF-MODIFIED-SINCE:";
constexpr std::string_view kIfMatch = "IF-MATCH:";
constexpr std::string_view kIfUnmodifiedSince = "IF-UNMODIFIED-SINCE:";

// The request line is expected at the very start of the head: its target is taken from
// this offset (after "GET " or "HEAD "), even when empty lines come before it.
constexpr std::int32_t kGetTargetOffset = static_cast<std::int32_t>(kGet.size());
constexpr std::int32_t kHeadTargetOffset = static_cast<std::int32_t>(kHead.size());

constexpr std::int32_t Length(std::string_view token) {
  return static_cast<std::int32_t>(token.size());
}

// The texts the scans step over, by their lengths.
constexpr std::string_view kLineFeed = "\n";
constexpr std::string_view kCarriageReturn = "\r";
constexpr std::string_view kTargetEnd = " ";  // after the target: " HTTP/1.1"
constexpr std::string_view kRangeEquals = "=";
constexpr std::string_view kRangeDash = "-";
// An escape in the target: the percent sign and two hex digits.
constexpr std::string_view kPercent = "%";
constexpr std::string_view kEscapeShape = "%XX";
constexpr std::int32_t kEscapeDigits = Length(kEscapeShape) - Length(kPercent);

// Bytes are classified as signed 8-bit values, so every byte of 0x80 and above counts as a
// control byte: a raw non-ASCII byte in the request line or in a range ends the scan there,
// as a tab or CR does. Only a line feed ends a header line, though: whatever else a line
// holds stays in it.
bool IsControl(char c) { return static_cast<signed char>(c) <= 0x0F; }

// What must follow the last number of a Range value for it to count: the end of the line.
// 0x0F is a control byte but not a number end; a blank or a comma is neither.
bool IsNumberEnd(char c) { return static_cast<signed char>(c) <= 0x0E; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The byte at `position`, or the terminator for any position at or past `length`.
char At(const char* buffer, std::int32_t length, std::int32_t position) {
  return position >= 0 && position < length ? buffer[position] : '\0';
}

// The decimal value of the digits in [first, end). False when it does not fit a signed
// 64-bit value: such a range cannot name a byte of any file.
bool ReadNumber(const char* buffer, std::int32_t first, std::int32_t end, std::int64_t& value) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t result = 0;
  for (std::int32_t i = first; i < end; ++i) {
    const int digit = buffer[i] - '0';
    if (result > (kMax - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

// One %XX escape: the low 8 bits of the two bytes after the '%' read as a base-16 number
// the way strtol reads it (leading white space and a sign accepted, stops at the first
// non-hex byte, 0 when there is no digit). The bytes may lie past the target's end, but a
// byte at or past the terminator is never read.
char DecodeEscape(const char* buffer, std::int32_t length, std::int32_t percent) {
  char digits[kEscapeDigits + 1] = {};
  const std::int32_t first = percent + Length(kPercent);
  for (std::int32_t k = 0; k < kEscapeDigits; ++k) {
    const char c = At(buffer, length, first + k);
    if (c == '\0') break;
    digits[k] = c;
  }
  const long value = std::strtol(digits, nullptr, 16);
  return static_cast<char>(static_cast<unsigned long>(value) & 0xFFu);
}

// The start of the line after the one that holds `position`: the byte after the next line
// feed. False when there is none. A header begins only there, so a tab, a zero byte or an
// 8-bit byte inside a value never starts one.
bool NextLine(const char* buffer, std::int32_t length, std::int32_t& position) {
  if (position >= length) return false;
  const void* feed =
      std::memchr(buffer + position, kLineFeed[0], static_cast<std::size_t>(length - position));
  if (feed == nullptr) return false;
  position = static_cast<std::int32_t>(static_cast<const char*>(feed) - buffer) + Length(kLineFeed);
  return position < length;
}

// The empty line that ends a head: a line feed, or CR LF, right at the line's start.
bool IsEmptyLine(const char* buffer, std::int32_t length, std::int32_t position) {
  const char c = At(buffer, length, position);
  return c == kLineFeed[0] ||
         (c == kCarriageReturn[0] &&
          At(buffer, length, position + Length(kCarriageReturn)) == kLineFeed[0]);
}

// Whether `token` (upper case) starts at `position`, letters matched in either case.
bool MatchToken(const char* buffer, std::string_view token, std::int32_t position,
                std::int32_t length) {
  if (position < 0) return false;
  for (std::size_t k = 0; k < token.size(); ++k) {
    const std::int32_t i = position + static_cast<std::int32_t>(k);
    if (i >= length) return false;
    char c = buffer[i];
    if (IsControl(c)) return false;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != token[k]) return false;
  }
  return true;
}

// The first `wanted` from `start` before a control byte.
bool FindChar(const char* buffer, std::int32_t length, char wanted, std::int32_t start,
              std::int32_t& found) {
  for (std::int32_t i = start < 0 ? 0 : start; i < length && !IsControl(buffer[i]); ++i) {
    if (buffer[i] == wanted) {
      found = i;
      return true;
    }
  }
  return false;
}

// The end of the run of digits at `start`; false when there is none.
bool ScanDigits(const char* buffer, std::int32_t length, std::int32_t start, std::int32_t& end) {
  std::int32_t i = start < 0 ? 0 : start;
  const std::int32_t from = i;
  while (i < length && IsDigit(buffer[i])) ++i;
  if (i == from) return false;
  end = i;
  return true;
}

// Decodes the target in [first, end) into the request's path; false when it is empty. A
// decoded zero byte stays in the path, and a path the ANSI code page cannot write exactly
// keeps its UTF-8 bytes: either way it can name no share (`pathMatchable`), rather than
// being cut short or mapped to a look-alike that may name another one.
bool DecodeRequestPath(const char* buffer, std::int32_t length, std::int32_t first,
                       std::int32_t end, Request& request) {
  if (first < 0) return false;
  if (end > length) end = length;
  if (first >= end) return false;

  std::string decoded;
  decoded.reserve(static_cast<std::size_t>(end) - static_cast<std::size_t>(first));
  for (std::int32_t i = first; i < end;) {
    if (buffer[i] == kPercent[0]) {
      decoded.push_back(DecodeEscape(buffer, length, i));
      i += Length(kEscapeShape);
    } else {
      decoded.push_back(buffer[i]);
      ++i;
    }
  }
  std::optional<std::string> ansi;
  if (decoded.find('\0') == std::string::npos) ansi = platform::Utf8ToAnsiExact(decoded);
  request.pathMatchable = ansi.has_value();
  request.path = ansi ? std::move(*ansi) : std::move(decoded);
  return true;
}

// The value of a header whose name (and colon) end at `start`: the rest of its line, up
// to the CR or LF that ends it, without the blanks and tabs around it. A tab, a zero byte
// or an 8-bit byte inside it stays part of it.
std::string HeaderValue(const char* buffer, std::int32_t length, std::int32_t start) {
  std::int32_t first = start;
  while (first < length && (buffer[first] == ' ' || buffer[first] == '\t')) ++first;
  std::int32_t end = first;
  while (end < length && buffer[end] != '\r' && buffer[end] != '\n') ++end;
  std::int32_t last = end;
  while (last > first && (buffer[last - 1] == ' ' || buffer[last - 1] == '\t')) --last;
  return std::string(buffer + first, buffer + last);
}

// A Range line whose name ends at `value`: fills the request's range, false when it is
// bad. The scans stop at the first control byte, at the latest at the line's end.
bool ParseRange(const char* buffer, std::int32_t length, std::int32_t value, Request& request) {
  std::int32_t equals = 0;
  if (!FindChar(buffer, length, kRangeEquals[0], value, equals)) return false;
  if (!MatchToken(buffer, kBytesUnit, value, length)) return false;
  std::int32_t p = equals + Length(kRangeEquals);
  std::int32_t q = p;
  const bool hasStart = ScanDigits(buffer, length, p, q);
  if (At(buffer, length, q) != kRangeDash[0]) return false;
  std::int64_t start = 0;
  if (hasStart && !ReadNumber(buffer, p, q, start)) return false;
  request.rangeStart = hasStart ? std::optional<std::int64_t>(start) : std::nullopt;
  p = q + Length(kRangeDash);
  std::int32_t e = p;
  // An end that the line does not end after is no end: "0-499 " is "0-".
  const bool hasEnd = ScanDigits(buffer, length, p, e) && IsNumberEnd(At(buffer, length, e));
  std::int64_t end = 0;
  if (hasEnd && !ReadNumber(buffer, p, e, end)) return false;
  request.rangeEnd = hasEnd ? std::optional<std::int64_t>(end) : std::nullopt;
  request.hasRange = true;
  return true;
}

// The value of a header that may come more than once and makes one list.
void AppendToList(std::optional<std::string>& list, std::string value) {
  if (list) {
    list->append(",").append(value);
  } else {
    list = std::move(value);
  }
}

}  // namespace

Request ParseRequest(const char* buffer, std::int32_t length, ParseCounts* counts) {
  Request request;
  const auto bad = [&request] {
    request.badRequest = true;
    return request;
  };
  if (buffer == nullptr || length < 0) return bad();

  // The request line: the first line, after any line breaks (or other control bytes) that
  // come before it. It alone names the method; a "GET " further down is a header line
  // like any other.
  std::int32_t s = 0;
  while (s < length && IsControl(buffer[s])) ++s;
  const bool get = MatchToken(buffer, kGet, s, length);
  if (!get && !MatchToken(buffer, kHead, s, length)) return bad();
  request.method = get ? RequestMethod::Get : RequestMethod::Head;
  const std::int32_t targetOffset = get ? kGetTargetOffset : kHeadTargetOffset;
  std::int32_t blank = 0;
  if (!FindChar(buffer, length, kTargetEnd[0], targetOffset, blank)) return bad();
  if (counts != nullptr) ++counts->targetDecodes;
  if (!DecodeRequestPath(buffer, length, targetOffset, blank, request)) return bad();

  // The header lines, each once, up to the empty line that ends the head.
  std::int32_t line = s;
  while (NextLine(buffer, length, line) && !IsEmptyLine(buffer, length, line)) {
    if (MatchToken(buffer, kRange, line, length)) {
      if (!ParseRange(buffer, length, line + Length(kRange), request)) return bad();
    } else if (MatchToken(buffer, kConnection, line, length)) {
      const std::int32_t value = line + Length(kConnection);
      if (MatchToken(buffer, kCloseValue, value, length)) request.mode = ConnectionMode::Close;
      if (MatchToken(buffer, kKeepAliveValue, value, length)) {
        request.mode = ConnectionMode::KeepAlive;
      }
    } else if (MatchToken(buffer, kUserAgent, line, length)) {
      // Any line that names a preview counts, should a client send two.
      if (IsLinkPreviewAgent(HeaderValue(buffer, length, line + Length(kUserAgent)))) {
        request.linkPreview = true;
      }
    } else if (MatchToken(buffer, kIfRange, line, length)) {
      request.ifRange = HeaderValue(buffer, length, line + Length(kIfRange));
    } else if (MatchToken(buffer, kIfNoneMatch, line, length)) {
      AppendToList(request.ifNoneMatch, HeaderValue(buffer, length, line + Length(kIfNoneMatch)));
    } else if (MatchToken(buffer, kIfModifiedSince, line, length)) {
      request.ifModifiedSince = HeaderValue(buffer, length, line + Length(kIfModifiedSince));
    } else if (MatchToken(buffer, kIfMatch, line, length)) {
      AppendToList(request.ifMatch, HeaderValue(buffer, length, line + Length(kIfMatch)));
    } else if (MatchToken(buffer, kIfUnmodifiedSince, line, length)) {
      request.ifUnmodifiedSince = HeaderValue(buffer, length, line + Length(kIfUnmodifiedSince));
    }
  }
  if (request.hasRange && !request.rangeStart && !request.rangeEnd) return bad();
  return request;
}

}  // namespace qc
