#include "http/response_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/texts.h"
#include "http/validators.h"
#include "platform/file.h"

namespace qc {

namespace {

// The longest head, 394 bytes: the status and fixed lines (117), the validators (at most
// 132), the range and length lines with 19-digit numbers (119), the connection line and
// the empty line (26). Only a guess for the one allocation: a longer head still fits.
constexpr std::size_t kHeadRoom = 400;

bool Send(ResponseSink& sink, std::string_view bytes) {
  return sink.SendAll(bytes.data(), static_cast<long long>(bytes.size())) != -1;
}

// A page goes out in one send; its body counts only when that send succeeded. A HEAD
// request gets the same head without the body.
ResponseSummary SendPage(ResponseSink& sink, int status, std::string_view statusLine,
                         std::string_view lengthLines, std::string_view body, bool headOnly) {
  std::string page;
  page.append(statusLine).append(http_text::kContentLength).append(lengthLines);
  if (!headOnly) page.append(body);
  const bool sent = Send(sink, page);
  return {status, sent && !headOnly ? static_cast<long long>(body.size()) : 0, {}, !sent};
}

ResponseSummary SendNotFoundPage(ResponseSink& sink, bool headOnly) {
  return SendPage(sink, 404, http_text::kStatus404, http_text::kNotFoundLength,
                  http_text::kNotFoundBody, headOnly);
}

// Last-Modified (when the date can be written) and ETag, in that order.
void AppendValidators(std::string& head, const Validators& validators) {
  if (validators.lastModified) {
    head.append(http_text::kLastModified)
        .append(*validators.lastModified)
        .append(http_text::kLineEnd);
  }
  head.append(http_text::kETag).append(validators.entityTag).append(http_text::kLineEnd);
}

std::int64_t CurrentUnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The bytes the request asks for out of a file of `size` bytes: the whole file without a
// range (or when an If-Range did not hold). None when the range does not fit the file
// (the short 400).
std::optional<ByteSpan> BytesToSend(const Request& request, bool ranged, std::int64_t size) {
  if (!ranged) return ByteSpan{0, size};
  if (!request.rangeStart) {
    // The last N bytes.
    if (!request.rangeEnd) return std::nullopt;
    const std::int64_t n = *request.rangeEnd;
    if (n < 0 || n > size) return std::nullopt;
    return ByteSpan{size - n, n};
  }
  const std::int64_t start = *request.rangeStart;
  if (start < 0 || start >= size) return std::nullopt;
  // From S to the end; an end past the file means "to the last byte" too. A start past
  // the end cannot be served.
  const std::int64_t last = request.rangeEnd ? std::min(*request.rangeEnd, size - 1) : size - 1;
  if (start > last) return std::nullopt;
  return ByteSpan{start, last - start + 1};
}

// Sends the header block and the span's bytes of `file`. All but the last piece go out
// through the sink's file path (large pieces, or zero-copy); the last piece holds exactly
// the 1 to kLastPieceSize bytes it would hold were every piece kLastPieceSize, so the
// one-shot rule and the file's close happen at the same byte whatever the piece size. An
// answer whose body is that last piece alone leaves in one send with its header block.
// Returns the body bytes that went out; none when another answer claimed the one-shot
// share before anything of this one was sent (the caller sends the 404 page instead).
std::optional<long long> SendHeadAndPieces(std::string head, ByteSpan span, const SharePtr& share,
                                           const std::string& path, std::int64_t size,
                                           platform::File& file, ShareRegistry& shares,
                                           ResponseSink& sink) {
  const std::int64_t lastLength = span.count > 0 ? (span.count - 1) % kLastPieceSize + 1 : 0;
  const std::int64_t bulk = span.count - lastLength;
  if (bulk > 0) {
    Send(sink, head);
    head.clear();
    // Short of `bulk`: a failed send, or a file that ended early (only bytes read went out).
    const long long sent = sink.SendFileRange(file, span.first, bulk);
    if (sent != bulk) return sent > 0 ? sent : 0;
  }
  if (span.first + span.count >= size &&
      shares.ClaimLastPiece(share, path) == LastPieceClaim::Lost) {
    // Another answer withdrew the share and sends the last piece: the file leaves whole
    // once. With nothing sent yet, this client is answered as one that came later.
    file.Close();
    if (bulk == 0) return std::nullopt;
    return bulk;
  }
  char piece[kLastPieceSize];
  long long got = 0;
  // A file nothing was read from yet is at its start: no seek (a system call) for the
  // commonest small answer, a whole file of at most one piece.
  const std::int64_t lastStart = span.first + bulk;
  if (lastLength > 0 && (lastStart == 0 || file.Seek(lastStart))) {
    got = file.Read(piece, static_cast<std::size_t>(lastLength));
  }
  // Closed before the last piece goes out: a client that fetches the file again the
  // moment its download completes must not find it still open (and get the 404 page).
  file.Close();
  if (got > 0) head.append(piece, static_cast<std::size_t>(got));
  if (!head.empty() && !Send(sink, head)) return bulk;
  return bulk + (got > 0 ? got : 0);
}

}  // namespace

long long ResponseSink::SendFileRange(platform::File& file, std::int64_t offset,
                                      std::int64_t count) {
  if (count <= 0) return 0;
  if (!file.Seek(offset)) return 0;
  const auto capacity = static_cast<std::size_t>(std::min<std::int64_t>(count, kPieceSize));
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::int64_t sent = 0;
  while (sent < count) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(count - sent, static_cast<std::int64_t>(capacity)));
    const long long got = file.Read(buffer.get(), n);
    if (got <= 0) break;
    if (SendAll(buffer.get(), got) == -1) break;
    sent += got;
    if (static_cast<std::size_t>(got) < n) break;
  }
  return sent;
}

ResponseSummary SendBadRequestPage(ResponseSink& sink, bool headOnly) {
  return SendPage(sink, 400, http_text::kStatus400, http_text::kBadRequestLength,
                  http_text::kBadRequestBody, headOnly);
}

ResponseSummary WriteResponse(const Request& request, ShareRegistry& shares, ResponseSink& sink) {
  const bool headOnly = request.method == RequestMethod::Head;
  if (request.badRequest || !request.path) return SendBadRequestPage(sink, headOnly);
  const SharePtr share = shares.FindShare(*request.path);
  if (!share || share->IsWithdrawn()) return SendNotFoundPage(sink, headOnly);
  // A chat's link preview fetches the link before the person it was sent to clicks it; for
  // a one-shot share that fetch would be the one download.
  if (request.linkPreview && share->IsOneShot()) return SendNotFoundPage(sink, headOnly);
  // A one-shot share is fetched by one client at a time, so that "one" holds; any other
  // share is read by as many clients as ask at once. Neither is served while another
  // program writes the file.
  platform::File file = share->IsOneShot() ? platform::File::OpenExclusiveRead(share->physicalPath)
                                           : platform::File::OpenSharedRead(share->physicalPath);
  // Size and validators from one query of the open file: they describe the bytes sent.
  const std::optional<platform::FileVersion> version =
      file.IsOpen() ? file.Version() : std::optional<platform::FileVersion>();
  // Withdrawn is asked again once the file is open: an answer that found the share before
  // another one claimed it, and opened the file the moment that one had closed it, must
  // not send it a second time.
  if (!version || version->size < 0 || share->IsWithdrawn())
    return SendNotFoundPage(sink, headOnly);
  const std::int64_t size = version->size;
  const Validators validators = ValidatorsOf(*version);

  // The client's copy is this version: the head alone, and a one-shot share stays.
  const std::int64_t now = request.ifModifiedSince ? CurrentUnixSeconds() : 0;
  if (IsNotModified(request, validators, now)) {
    file.Close();
    std::string head;
    head.append(http_text::kStatus304).append(http_text::kServer);
    AppendValidators(head, validators);
    head.append(request.mode == ConnectionMode::KeepAlive ? http_text::kKeepAlive
                                                          : http_text::kClose)
        .append(http_text::kLineEnd);
    const bool sent = Send(sink, head);
    return {304, 0, {}, !sent};
  }

  // A range of a file that changed since the client's copy would splice two versions.
  const bool ranged =
      request.hasRange && (!request.ifRange || IfRangeHolds(*request.ifRange, validators));
  const std::optional<ByteSpan> span = BytesToSend(request, ranged, size);
  if (!span) {
    const bool sent = Send(sink, http_text::kStatus400);
    return {400, 0, {}, !sent};
  }

  std::string head;
  // Room for the longest head and the last piece, which may leave in the same send.
  head.reserve(kHeadRoom +
               static_cast<std::size_t>(std::min<std::int64_t>(span->count, kLastPieceSize)));
  head.append(ranged ? http_text::kStatus206 : http_text::kStatus200)
      .append(http_text::kServer)
      .append(http_text::kAcceptRanges)
      .append(http_text::kContentType);
  AppendValidators(head, validators);
  if (ranged) {
    head.append(http_text::kContentRange)
        .append(std::to_string(span->first))
        .append("-")
        .append(std::to_string(span->first + span->count - 1))
        .append("/")
        .append(std::to_string(size))
        .append(http_text::kLineEnd);
  }
  head.append(http_text::kContentLength)
      .append(std::to_string(span->count))
      .append(http_text::kLineEnd)
      .append(request.mode == ConnectionMode::KeepAlive ? http_text::kKeepAlive : http_text::kClose)
      .append(http_text::kLineEnd);
  if (headOnly) {
    file.Close();
    const bool sent = Send(sink, head);
    return ranged ? ResponseSummary{206, 0, span, !sent} : ResponseSummary{200, 0, {}, !sent};
  }
  const std::optional<long long> sent =
      SendHeadAndPieces(std::move(head), *span, share, *request.path, size, file, shares, sink);
  // Another answer claimed the share before anything of this one went out.
  if (!sent) return SendNotFoundPage(sink, false);
  const bool incomplete = *sent != span->count;
  if (!ranged) return {200, *sent, {}, incomplete};
  return {206, *sent, span, incomplete};
}

}  // namespace qc
