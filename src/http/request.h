// What the parser makes of one request head, and what the response writer answers.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qc {

namespace platform {
class File;
}

// Connection header values the parser understands.
enum ConnectionMode : int { kModeNone = 0, kModeClose = 1, kModeKeepAlive = 2 };

struct Request {
  int badRequest = 0;
  std::optional<std::string> path;  // decoded, in the ANSI code page; none until a GET line
  bool hasRange = false;
  // 64-bit so that files of 2 GiB and more are served by range; -1 means "not given".
  std::int64_t rangeStart = -1;
  std::int64_t rangeEnd = -1;
  int mode = kModeNone;
};

// Where a response goes. The connection sends through its socket; tests capture.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // Sends all `count` bytes; returns `count`, or -1 when a send failed.
  virtual long long SendAll(const char* data, long long count) = 0;
  // Sends `count` bytes of `file` from `offset`. Returns the count sent: less than `count`
  // when the file yielded fewer bytes (only bytes read are ever sent), -1 when a send
  // failed. Leaves the file position anywhere. This default reads into a buffer of up to
  // kPieceSize bytes and sends through SendAll; a socket overrides it with the system's
  // zero-copy call.
  virtual long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count);
};

}  // namespace qc
