// ParseRequest over arbitrary bytes, handed over as the connection does: an exactly sized
// heap block with a zero byte at `length`, so a read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "http/request_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 1) return 0;
  std::unique_ptr<char[]> buffer(new char[size + 1]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  buffer[size] = '\0';

  qc::Request request;
  const int bad = qc::ParseRequest(buffer.get(), static_cast<std::int32_t>(size), request);
  // What the writer relies on for a good request.
  if (bad != 0 && bad != 1) __builtin_trap();
  if (bad == 0 && !request.path) __builtin_trap();
  if (bad == 0 && request.hasRange && request.rangeStart == -1 && request.rangeEnd == -1) {
    __builtin_trap();
  }
  if (request.hasRange && (request.rangeStart < -1 || request.rangeEnd < -1)) __builtin_trap();
  if (request.mode < 0 || request.mode > 2) __builtin_trap();
  // The head is left as it was.
  if (size > 0 && std::memcmp(buffer.get(), data, size) != 0) __builtin_trap();
  if (buffer[size] != '\0') __builtin_trap();
  return 0;
}
