#include "http/response_writer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "http/texts.h"
#include "platform/file.h"

namespace qc {

namespace {

bool Send(ResponseSink& sink, std::string_view bytes) {
  return sink.SendAll(bytes.data(), static_cast<long long>(bytes.size())) != -1;
}

ResponseSummary SendShortBadRequest(ResponseSink& sink) {
  Send(sink, http_text::kStatus400);
  return {400, 0};
}

// Resolves the request's range against `size` into the first and last byte to send.
// False when the range does not fit the file (the short 400).
bool ResolveRange(Request& request, std::int64_t size) {
  if (request.rangeStart == -1) {
    // The last N bytes.
    const std::int64_t n = request.rangeEnd;
    if (n < 0 || n > size) return false;
    request.rangeStart = size - n;
    request.rangeEnd = size - 1;
    return true;
  }
  if (request.rangeEnd == -1) {
    // From S to the end.
    if (request.rangeStart > size - 1) return false;
    request.rangeEnd = size - 1;
    return true;
  }
  // Both numbers given: an end past the file means "to the last byte"; a start past the
  // file or past the end cannot be served.
  if (request.rangeStart < 0 || request.rangeStart >= size) return false;
  if (request.rangeEnd >= size) request.rangeEnd = size - 1;
  return request.rangeStart <= request.rangeEnd;
}

// The one-shot rule: a OneShot share becomes Withdrawn once its last piece is due. The
// share is looked up again, as the panel may have changed the list meanwhile.
void WithdrawIfOneShot(ShareRegistry& shares, const std::string& path) {
  const SharePtr share = shares.FindShare(path);
  if (share && (share->flags.load() & kOneShot) != 0) share->flags.fetch_or(kWithdrawn);
}

// Sends the header block and bytes rangeStart..rangeEnd of `file`. All but the last
// piece go out through the sink's file path (large pieces, or zero-copy); the last piece
// holds exactly the 1 to kLastPieceSize bytes it would hold were every piece
// kLastPieceSize, so the one-shot rule and the file's close happen at the same byte
// whatever the piece size. An answer whose body is that last piece alone leaves in one
// send with its header block. Returns the body bytes that went out.
long long SendHeadAndPieces(std::string head, const Request& request, std::int64_t size,
                            platform::File& file, ShareRegistry& shares, ResponseSink& sink) {
  const std::int64_t length = request.rangeEnd - request.rangeStart + 1;
  const std::int64_t lastLength = length > 0 ? (length - 1) % kLastPieceSize + 1 : 0;
  const std::int64_t bulk = length - lastLength;
  if (bulk > 0) {
    Send(sink, head);
    head.clear();
    // Short of `bulk`: a failed send, or a file that ended early (only bytes read went out).
    const long long sent = sink.SendFileRange(file, request.rangeStart, bulk);
    if (sent != bulk) return sent > 0 ? sent : 0;
  }
  if (request.rangeEnd >= size - 1) WithdrawIfOneShot(shares, *request.path);
  char piece[kLastPieceSize];
  long long got = 0;
  if (lastLength > 0 && file.Seek(request.rangeStart + bulk)) {
    got = file.Read(piece, static_cast<std::size_t>(lastLength));
  }
  // Closed before the last piece goes out: a client that fetches the file again the
  // moment its download completes must not find it still open (and get the 404 page).
  file.Close();
  if (got > 0) head.append(piece, static_cast<std::size_t>(got));
  if (!head.empty() && !Send(sink, head)) return bulk;
  return bulk + (got > 0 ? got : 0);
}

std::string ConnectionLine(int mode) {
  return std::string(mode == kModeKeepAlive ? http_text::kKeepAlive : http_text::kClose);
}

}  // namespace

long long ResponseSink::SendFileRange(platform::File& file, std::int64_t offset,
                                      std::int64_t count) {
  if (count <= 0) return 0;
  if (!file.Seek(offset)) return 0;
  const std::size_t capacity =
      static_cast<std::size_t>(count < kPieceSize ? count : static_cast<std::int64_t>(kPieceSize));
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::int64_t sent = 0;
  while (sent < count) {
    const std::int64_t left = count - sent;
    const std::size_t n = left < static_cast<std::int64_t>(capacity) ? static_cast<std::size_t>(left) : capacity;
    const long long got = file.Read(buffer.get(), n);
    if (got <= 0) break;
    if (SendAll(buffer.get(), got) == -1) return -1;
    sent += got;
    if (static_cast<std::size_t>(got) < n) break;
  }
  return sent;
}

ResponseSummary SendBadRequestPage(ResponseSink& sink) {
  std::string page;
  page.append(http_text::kStatus400)
      .append(http_text::kContentLength)
      .append(http_text::kBadRequestLength)
      .append(http_text::kBadRequestBody);
  const bool sent = Send(sink, page);
  return {400, sent ? static_cast<long long>(http_text::kBadRequestBody.size()) : 0};
}

ResponseSummary SendNotFoundPage(ResponseSink& sink) {
  std::string page;
  page.append(http_text::kStatus404)
      .append(http_text::kContentLength)
      .append(http_text::kNotFoundLength)
      .append(http_text::kNotFoundBody);
  const bool sent = Send(sink, page);
  return {404, sent ? static_cast<long long>(http_text::kNotFoundBody.size()) : 0};
}

ResponseSummary WriteResponse(Request& request, ShareRegistry& shares, ResponseSink& sink) {
  if (request.badRequest != 0 || !request.path) return SendBadRequestPage(sink);
  const SharePtr share = shares.FindShare(*request.path);
  if (!share || share->IsWithdrawn()) return SendNotFoundPage(sink);
  // A one-shot share is fetched by one client at a time, so that "one" holds; any other
  // share is read by as many clients as ask at once. Neither is served while another
  // program writes the file.
  const bool oneShot = (share->flags.load() & kOneShot) != 0;
  platform::File file = oneShot ? platform::File::OpenExclusiveRead(share->physicalPath)
                                : platform::File::OpenSharedRead(share->physicalPath);
  const std::int64_t size = file.IsOpen() ? file.Size() : -1;
  if (size < 0) return SendNotFoundPage(sink);

  std::string head;
  head.append(request.hasRange ? http_text::kStatus206 : http_text::kStatus200)
      .append(http_text::kServer)
      .append(http_text::kAcceptRanges)
      .append(http_text::kContentType);
  if (request.hasRange) {
    if (!ResolveRange(request, size)) return SendShortBadRequest(sink);
    head.append(http_text::kContentRange)
        .append(std::to_string(request.rangeStart))
        .append("-")
        .append(std::to_string(request.rangeEnd))
        .append("/")
        .append(std::to_string(size))
        .append(http_text::kLineEnd)
        .append(http_text::kContentLength)
        .append(std::to_string(request.rangeEnd - request.rangeStart + 1))
        .append(http_text::kLineEnd);
  } else {
    request.rangeStart = 0;
    request.rangeEnd = size - 1;
    head.append(http_text::kContentLength).append(std::to_string(size)).append(http_text::kLineEnd);
  }
  head.append(ConnectionLine(request.mode)).append(http_text::kLineEnd);
  const int status = request.hasRange ? 206 : 200;
  return {status, SendHeadAndPieces(std::move(head), request, size, file, shares, sink)};
}

}  // namespace qc
