#pragma once
#include <cstdint>
#include <string>

#include "http/request.h"

namespace qc {

// Parses one complete head. `buffer` holds a zero byte at `length`; nothing past it is
// read. Returns 1 for a bad request, 0 for a good one; fields set before a failure stay.
int ParseRequest(char* buffer, std::int32_t length, Request& request);

// The scans the parser is built from, exposed for tests. Each takes `length` so that no
// scan reads past the terminator, whatever the bytes before it.
int NextLine(const char* buffer, std::int32_t length, std::int32_t& position, bool first);
int MatchToken(const char* buffer, const char* token, std::int32_t position, std::int32_t length);
int FindChar(const char* buffer, std::int32_t length, char wanted, std::int32_t start,
             std::int32_t& found);
int ScanDigits(const char* buffer, std::int32_t length, std::int32_t start, std::int32_t& end);
int DecodeRequestPath(const char* buffer, std::int32_t length, std::int32_t first,
                      std::int32_t last, Request& request);

}  // namespace qc
