// What the parser makes of one request head.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qc {

// Connection header values the parser understands. Every answer closes the connection
// whatever the client asked; the mode is kept for what the request said.
enum class ConnectionMode { None, Close, KeepAlive };

// The methods answered; every other one is a bad request.
enum class RequestMethod { Get, Head };

struct Request {
  bool badRequest = false;
  RequestMethod method = RequestMethod::Get;  // from the request line, once one was found
  std::optional<std::string> path;  // decoded, in the ANSI code page; none until a GET line
  // False when the decoded target can name no share: it holds a zero byte (%00, or an
  // escape that reads as 0), or a character the ANSI code page cannot write exactly (the
  // path then keeps its UTF-8 bytes). Such a path is answered with the 404 page, never
  // cut short or matched through a look-alike character.
  bool pathMatchable = true;
  bool hasRange = false;
  // 64-bit so that files of 2 GiB and more are served by range. "bytes=-N" has no start,
  // "bytes=S-" no end.
  std::optional<std::int64_t> rangeStart;
  std::optional<std::int64_t> rangeEnd;
  ConnectionMode mode = ConnectionMode::None;
  // The User-Agent names a link-preview service (IsLinkPreviewAgent).
  bool linkPreview = false;
  // The conditional headers' values as sent, blanks around them removed; none when the
  // head has no such line. Several If-None-Match (or If-Match) lines make one list.
  std::optional<std::string> ifRange;
  std::optional<std::string> ifNoneMatch;
  std::optional<std::string> ifModifiedSince;
  std::optional<std::string> ifMatch;
  std::optional<std::string> ifUnmodifiedSince;
};

}  // namespace qc
