#include "http/request_parser.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

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

}  // namespace

int NextLine(const char* buffer, std::int32_t length, std::int32_t& position, bool first) {
  std::int32_t i = 0;
  if (!first) {
    i = position < 0 ? 0 : position;
    while (i < length && !IsControl(buffer[i])) ++i;
  }
  // Positions up to and including `length` are examined; the terminator is a control byte.
  while (i < length && IsControl(buffer[i])) ++i;
  if (i >= length) return 0;
  position = i;
  return 1;
}

int MatchToken(const char* buffer, const char* token, std::int32_t position, std::int32_t length) {
  if (position < 0) return 0;
  for (std::int32_t k = 0; token[k] != '\0'; ++k) {
    const std::int32_t i = position + k;
    if (i >= length) return 0;
    char c = buffer[i];
    if (IsControl(c)) return 0;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != token[k]) return 0;
  }
  return 1;
}

int FindChar(const char* buffer, std::int32_t length, char wanted, std::int32_t start,
             std::int32_t& found) {
  for (std::int32_t i = start < 0 ? 0 : start; i < length && !IsControl(buffer[i]); ++i) {
    if (buffer[i] == wanted) {
      found = i;
      return 1;
    }
  }
  return 0;
}

int ScanDigits(const char* buffer, std::int32_t length, std::int32_t start, std::int32_t& end) {
  std::int32_t i = start < 0 ? 0 : start;
  const std::int32_t from = i;
  while (i < length && IsDigit(buffer[i])) ++i;
  if (i == from) return 0;
  end = i;
  return 1;
}

int DecodeRequestPath(const char* buffer, std::int32_t length, std::int32_t first,
                      std::int32_t last, Request& request) {
  if (first < 0) return 0;
  if (last >= length) last = length - 1;
  std::int32_t count = 0;
  for (std::int32_t i = first; i <= last; i += buffer[i] == '%' ? 3 : 1) ++count;
  if (count <= 0) return 0;

  std::string decoded;
  decoded.reserve(static_cast<std::size_t>(count));
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
  request.path = platform::Utf8ToAnsi(std::string(decoded.c_str()));
  return 1;
}

int ParseRequest(char* buffer, std::int32_t length, Request& request) {
  // The request line is expected at the very start of the head: its target is taken from
  // this offset whatever line the "GET " token was found on.
  constexpr std::int32_t kTargetOffset = 4;
  constexpr std::int32_t kRangeValueOffset = 7;        // after "RANGE: "
  constexpr std::int32_t kConnectionValueOffset = 12;  // after "CONNECTION: "

  if (buffer == nullptr || length < 0) return 1;
  std::int32_t position = 0;
  bool first = true;
  while (NextLine(buffer, length, position, first)) {
    first = false;
    const std::int32_t s = position;
    if (MatchToken(buffer, "GET ", s, length)) {
      std::int32_t blank = 0;
      if (!FindChar(buffer, length, ' ', kTargetOffset, blank)) return 1;
      if (!DecodeRequestPath(buffer, length, kTargetOffset, blank - 1, request)) return 1;
      // When the GET line is not the first line, the blank found from the fixed offset lies
      // in an earlier line; going back there would find this line again, forever.
      position = blank > s ? blank : s;
    } else if (MatchToken(buffer, "RANGE: ", s, length)) {
      const std::int32_t value = s + kRangeValueOffset;
      std::int32_t equals = 0;
      if (!FindChar(buffer, length, '=', value, equals)) return 1;
      if (!MatchToken(buffer, "BYTES", value, length)) return 1;
      std::int32_t p = equals + 1;
      std::int32_t q = p;
      const bool hasStart = ScanDigits(buffer, length, p, q) == 1;
      if (At(buffer, length, q) != '-') return 1;
      std::int64_t start = -1;
      if (hasStart && !ReadNumber(buffer, p, q, start)) return 1;
      request.rangeStart = start;
      p = q + 1;
      std::int32_t e = p;
      std::int64_t end = -1;
      if (ScanDigits(buffer, length, p, e) && IsNumberEnd(At(buffer, length, e)) &&
          !ReadNumber(buffer, p, e, end)) {
        return 1;
      }
      request.rangeEnd = end;
      request.hasRange = true;
      position = p;
    } else if (MatchToken(buffer, "CONNECTION: ", s, length)) {
      if (MatchToken(buffer, "CLOSE", s + kConnectionValueOffset, length)) request.mode = kModeClose;
      if (MatchToken(buffer, "KEEP-ALIVE", s + kConnectionValueOffset, length)) {
        request.mode = kModeKeepAlive;
      }
    }
  }
  if (!request.path) return 1;
  if (request.hasRange && request.rangeStart == -1 && request.rangeEnd == -1) return 1;
  return 0;
}

}  // namespace qc
