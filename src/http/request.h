// What the parser makes of one request head.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qc {

// Connection header values the parser understands.
enum class ConnectionMode { None, Close, KeepAlive };

struct Request {
  bool badRequest = false;
  std::optional<std::string> path;  // decoded, in the ANSI code page; none until a GET line
  bool hasRange = false;
  // 64-bit so that files of 2 GiB and more are served by range. "bytes=-N" has no start,
  // "bytes=S-" no end.
  std::optional<std::int64_t> rangeStart;
  std::optional<std::int64_t> rangeEnd;
  ConnectionMode mode = ConnectionMode::None;
  // The User-Agent names a link-preview service (IsLinkPreviewAgent).
  bool linkPreview = false;
};

}  // namespace qc
