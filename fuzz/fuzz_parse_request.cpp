// ParseRequest over arbitrary bytes, handed over as the connection does: an exactly sized
// heap block with a zero byte at `length`, so a read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "http/request_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 1) return 0;
  std::unique_ptr<char[]> buffer(new char[size + 1]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  buffer[size] = '\0';

  qc::ParseCounts counts;
  const qc::Request request =
      qc::ParseRequest(buffer.get(), static_cast<std::int32_t>(size), &counts);
  // However many request lines, the target is decoded at most once.
  if (counts.targetDecodes > 1) __builtin_trap();
  // What the writer relies on for a good request.
  if (!request.badRequest && !request.path) __builtin_trap();
  if (!request.badRequest && request.hasRange && !request.rangeStart && !request.rangeEnd) {
    __builtin_trap();
  }
  if (request.rangeStart && *request.rangeStart < 0) __builtin_trap();
  // A zero byte in a path never names a share.
  if (request.path && request.path->find('\0') != std::string::npos && request.pathMatchable) {
    __builtin_trap();
  }
  if (request.rangeEnd && *request.rangeEnd < 0) __builtin_trap();
  // The head is left as it was.
  if (size > 0 && std::memcmp(buffer.get(), data, size) != 0) __builtin_trap();
  if (buffer[size] != '\0') __builtin_trap();

  // Nothing at or past `length` is read: the same head without its zero byte parses the
  // same way (ASan catches a read of the byte after the block).
  std::unique_ptr<char[]> exact(new char[size]);
  if (size > 0) std::memcpy(exact.get(), data, size);
  const qc::Request again = qc::ParseRequest(exact.get(), static_cast<std::int32_t>(size));
  if (again.badRequest != request.badRequest || again.path != request.path ||
      again.hasRange != request.hasRange || again.rangeStart != request.rangeStart ||
      again.rangeEnd != request.rangeEnd || again.mode != request.mode ||
      again.method != request.method || again.ifRange != request.ifRange ||
      again.ifNoneMatch != request.ifNoneMatch ||
      again.ifModifiedSince != request.ifModifiedSince || again.ifMatch != request.ifMatch ||
      again.ifUnmodifiedSince != request.ifUnmodifiedSince ||
      again.pathMatchable != request.pathMatchable) {
    __builtin_trap();
  }
  if (again.linkPreview != request.linkPreview) __builtin_trap();
  return 0;
}
