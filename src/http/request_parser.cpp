#include "http/request_parser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "http/link_preview.h"
#include "platform/codepage.h"

namespace qc {

namespace {

// Bytes are classified as signed 8-bit values, so every byte of 0x80 and above counts as a
// control byte: a raw non-ASCII byte in the request line ends it, as a tab or CR does.
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
  char digits[3] = {At(buffer, length, percent + 1), '\0', '\0'};
  if (digits[0] != '\0') digits[1] = At(buffer, length, percent + 2);
  const long value = std::strtol(digits, nullptr, 16);
  return static_cast<char>(static_cast<unsigned long>(value) & 0xFFu);
}

// The scans take `length` so that none reads past the head, whatever its bytes.
// Moves `position` to the start of the next line: past the rest of the current line
// (unless `first`), then past the run of control bytes that ends it. False at the end.
bool NextLine(const char* buffer, std::int32_t length, std::int32_t& position, bool first) {
  std::int32_t i = 0;
  if (!first) {
    i = position < 0 ? 0 : position;
    while (i < length && !IsControl(buffer[i])) ++i;
  }
  while (i < length && IsControl(buffer[i])) ++i;
  if (i >= length) return false;
  position = i;
  return true;
}

// Whether `token` (upper case) starts at `position`, letters matched in either case.
bool MatchToken(const char* buffer, const char* token, std::int32_t position, std::int32_t length) {
  if (position < 0) return false;
  for (std::int32_t k = 0; token[k] != '\0'; ++k) {
    const std::int32_t i = position + k;
    if (i >= length) return false;
    char c = buffer[i];
    if (IsControl(c)) return false;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != token[k]) return false;
  }
  return true;
}

// The first `wanted` from `start` on the same line.
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

// Decodes the target in [first, last] into the request's path; false when it is empty.
bool DecodeRequestPath(const char* buffer, std::int32_t length, std::int32_t first,
                       std::int32_t last, Request& request) {
  if (first < 0) return false;
  if (last >= length) last = length - 1;
  if (first > last) return false;

  std::string decoded;
  decoded.reserve(static_cast<std::size_t>(last) - static_cast<std::size_t>(first) + 1);
  for (std::int32_t i = first; i <= last;) {
    if (buffer[i] == '%') {
      decoded.push_back(DecodeEscape(buffer, length, i));
      i += 3;
    } else {
      decoded.push_back(buffer[i]);
      ++i;
    }
  }
  // A decoded zero byte ends the path there.
  decoded.erase(std::min(decoded.find('\0'), decoded.size()));
  request.path = platform::Utf8ToAnsi(decoded);
  return true;
}

// The value of a header whose name (and colon) end at `start`: up to the end of its line,
// without the blanks (and tabs before it) around it. Moves `position` to the end of the line.
std::string HeaderValue(const char* buffer, std::int32_t length, std::int32_t start,
                        std::int32_t& position) {
  std::int32_t first = start;
  while (first < length && (buffer[first] == ' ' || buffer[first] == '\t')) ++first;
  std::int32_t end = first;
  while (end < length && !IsControl(buffer[end])) ++end;
  std::int32_t last = end;
  while (last > first && buffer[last - 1] == ' ') --last;
  position = end;
  return std::string(buffer + first, buffer + last);
}

}  // namespace

Request ParseRequest(const char* buffer, std::int32_t length, ParseCounts* counts) {
  // The request line is expected at the very start of the head: its target is taken from
  // this offset (after "GET " or "HEAD ") whatever line the method was found on.
  constexpr std::int32_t kGetTargetOffset = 4;
  constexpr std::int32_t kHeadTargetOffset = 5;
  constexpr std::int32_t kRangeValueOffset = 7;        // after "RANGE: "
  constexpr std::int32_t kConnectionValueOffset = 12;  // after "CONNECTION: "
  constexpr std::int32_t kUserAgentValueOffset = 11;   // after "USER-AGENT:"

  Request request;
  const auto bad = [&request] {
    request.badRequest = true;
    return request;
  };
  if (buffer == nullptr || length < 0) return bad();
  std::int32_t position = 0;
  bool first = true;
  while (NextLine(buffer, length, position, first)) {
    first = false;
    const std::int32_t s = position;
    const bool get = MatchToken(buffer, "GET ", s, length);
    if (get || MatchToken(buffer, "HEAD ", s, length)) {
      // Only the first request line is read. A later one would take the same target from
      // the same offset again: nothing new, but a head of thousands of "GET " lines after
      // a long target would cost a scan and a decode each.
      if (request.path) continue;
      request.method = get ? RequestMethod::Get : RequestMethod::Head;
      const std::int32_t targetOffset = get ? kGetTargetOffset : kHeadTargetOffset;
      std::int32_t blank = 0;
      if (!FindChar(buffer, length, ' ', targetOffset, blank)) return bad();
      if (counts != nullptr) ++counts->targetDecodes;
      if (!DecodeRequestPath(buffer, length, targetOffset, blank - 1, request)) return bad();
      // When the request line is not the first line, the blank found from the fixed offset
      // lies in an earlier line; going back there would find this line again, forever.
      position = blank > s ? blank : s;
    } else if (MatchToken(buffer, "RANGE: ", s, length)) {
      const std::int32_t value = s + kRangeValueOffset;
      std::int32_t equals = 0;
      if (!FindChar(buffer, length, '=', value, equals)) return bad();
      if (!MatchToken(buffer, "BYTES", value, length)) return bad();
      std::int32_t p = equals + 1;
      std::int32_t q = p;
      const bool hasStart = ScanDigits(buffer, length, p, q);
      if (At(buffer, length, q) != '-') return bad();
      std::int64_t start = 0;
      if (hasStart && !ReadNumber(buffer, p, q, start)) return bad();
      request.rangeStart = hasStart ? std::optional<std::int64_t>(start) : std::nullopt;
      p = q + 1;
      std::int32_t e = p;
      // An end that the line does not end after is no end: "0-499 " is "0-".
      const bool hasEnd = ScanDigits(buffer, length, p, e) && IsNumberEnd(At(buffer, length, e));
      std::int64_t end = 0;
      if (hasEnd && !ReadNumber(buffer, p, e, end)) return bad();
      request.rangeEnd = hasEnd ? std::optional<std::int64_t>(end) : std::nullopt;
      request.hasRange = true;
      position = p;
    } else if (MatchToken(buffer, "CONNECTION: ", s, length)) {
      const std::int32_t value = s + kConnectionValueOffset;
      if (MatchToken(buffer, "CLOSE", value, length)) request.mode = ConnectionMode::Close;
      if (MatchToken(buffer, "KEEP-ALIVE", value, length)) request.mode = ConnectionMode::KeepAlive;
    } else if (MatchToken(buffer, "USER-AGENT:", s, length)) {
      // Blanks after the colon are optional here: a preview that went unrecognised would
      // use up a one-shot share. Any line that names a preview counts, should a client
      // send two.
      if (IsLinkPreviewAgent(HeaderValue(buffer, length, s + kUserAgentValueOffset, position))) {
        request.linkPreview = true;
      }
    } else if (MatchToken(buffer, "IF-RANGE:", s, length)) {
      // No blank is required after these colons: an If-Range overlooked would let a range
      // of a changed file through.
      request.ifRange = HeaderValue(buffer, length, s + 9, position);
    } else if (MatchToken(buffer, "IF-NONE-MATCH:", s, length)) {
      std::string tags = HeaderValue(buffer, length, s + 14, position);
      if (request.ifNoneMatch) {
        request.ifNoneMatch->append(",").append(tags);
      } else {
        request.ifNoneMatch = std::move(tags);
      }
    } else if (MatchToken(buffer, "IF-MODIFIED-SINCE:", s, length)) {
      request.ifModifiedSince = HeaderValue(buffer, length, s + 18, position);
    }
  }
  if (!request.path || (request.hasRange && !request.rangeStart && !request.rangeEnd)) return bad();
  return request;
}

}  // namespace qc
