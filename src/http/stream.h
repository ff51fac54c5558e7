// A two-way byte stream under one connection: what the receive loop reads the head from
// and the response writer sends through. The connection implements it over its socket;
// the fuzzer and tests drive a whole connection over memory.
#pragma once
#include <cstddef>

#include "http/request.h"

namespace qc {

class Stream : public ResponseSink {
 public:
  // Bytes received (> 0), 0 when the peer closed, -1 on an error, the server's stop or a
  // time limit.
  virtual long long Receive(char* buffer, std::size_t size) = 0;
};

}  // namespace qc
