#pragma once
#include <cstdint>

#include "http/request.h"

namespace qc {

// What a parse cost, for the tests that pin it: however many request lines a head holds,
// the target is decoded at most once.
struct ParseCounts {
  int targetDecodes = 0;
};

// Parses one complete head of `length` bytes. No byte at or past `length` is read (the
// connection keeps a zero byte there, but the parse does not rely on it). A bad request
// keeps the fields set before the fault was found.
Request ParseRequest(const char* buffer, std::int32_t length, ParseCounts* counts = nullptr);

}  // namespace qc
