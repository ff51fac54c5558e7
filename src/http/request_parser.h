#pragma once
#include <cstdint>

#include "http/request.h"

namespace qc {

// Parses one complete head of `length` bytes. No byte at or past `length` is read (the
// connection keeps a zero byte there, but the parse does not rely on it). A bad request
// keeps the fields set before the fault was found.
Request ParseRequest(const char* buffer, std::int32_t length);

}  // namespace qc
