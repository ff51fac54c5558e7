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

// Room for the longest head, about 450 bytes: the status and fixed lines (117), the date
// line (37), the validators (at most 160 with a change time in the tag), the range and
// length lines with 19-digit numbers (119), the connection line and the empty line (21).
// Only a guess for the one allocation: a longer head still fits.
constexpr std::size_t kHeadRoom = 480;

bool Send(ResponseSink& sink, std::string_view bytes) {
  return sink.SendAll(bytes.data(), static_cast<long long>(bytes.size())) != -1;
}

std::int64_t CurrentUnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "Date: ...\r\n" for `now`, by arithmetic (no locale, no time zone); empty when the clock
// is past what four digits write (no date is better than a wrong one). A clock read is
// cheap on both systems (no call to the wineserver under Wine), and so is the formatting
// beside a request's other work, so it is not kept between answers: a thread-local
// std::string that kept it hung the ends of threads in mingw-w64's runtime under Wine
// (LiveServer's tests never ended).
std::string DateLine(std::int64_t now) {
  std::string line;
  if (const std::optional<std::string> date = FormatHttpDate(now)) {
    line.reserve(http_text::kDate.size() + date->size() + http_text::kLineEnd.size());
    line.append(http_text::kDate).append(*date).append(http_text::kLineEnd);
  }
  return line;
}

// A page goes out in one send: the status line, the date, `lines`, its length and the
// connection line, then the body. Its body counts only when that send succeeded. A HEAD
// request gets the same head without the body.
ResponseSummary SendPage(ResponseSink& sink, int status, std::string_view statusLine,
                         std::string_view lines, std::string_view body, bool headOnly) {
  std::string page;
  page.reserve(kHeadRoom + body.size());
  page.append(statusLine)
      .append(DateLine(CurrentUnixSeconds()))
      .append(lines)
      .append(http_text::kContentLength)
      .append(std::to_string(body.size()))
      .append(http_text::kLineEnd)
      .append(http_text::kClose)
      .append(http_text::kLineEnd);
  if (!headOnly) page.append(body);
  const bool sent = Send(sink, page);
  return {status, sent && !headOnly ? static_cast<long long>(body.size()) : 0, {}, !sent};
}

ResponseSummary SendNotFoundPage(ResponseSink& sink, bool headOnly) {
  return SendPage(sink, 404, http_text::kStatus404, {}, http_text::kNotFoundBody, headOnly);
}

// A one-shot link while its first download runs: neither the file nor "gone" for good,
// since that download may still break and leave the link working.
ResponseSummary SendBusyPage(ResponseSink& sink, bool headOnly) {
  return SendPage(sink, 503, http_text::kStatus503, http_text::kRetryAfter, http_text::kBusyBody,
                  headOnly);
}

// A range that names no byte of a file of `size` bytes: the size, so that a client that
// holds the whole file (wget -c) knows it is done.
ResponseSummary SendRangeNotSatisfiable(ResponseSink& sink, std::int64_t size, bool headOnly) {
  std::string line;
  line.append(http_text::kUnsatisfiedRange)
      .append(std::to_string(size))
      .append(http_text::kLineEnd);
  return SendPage(sink, 416, http_text::kStatus416, line, http_text::kRangeNotSatisfiableBody,
                  headOnly);
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

// The bytes the request asks for out of a file of `size` bytes: the whole file without a
// range (or when an If-Range did not hold). None when the range names no byte of the
// file (416): a start at or past the end, a start after the end asked for, a suffix of
// no bytes, any range of an empty file. An end past the file, or a suffix longer than
// it, reaches the last byte.
std::optional<ByteSpan> BytesToSend(const Request& request, bool ranged, std::int64_t size) {
  if (!ranged) return ByteSpan{0, size};
  if (size <= 0) return std::nullopt;
  if (!request.rangeStart) {
    // The last N bytes.
    if (!request.rangeEnd || *request.rangeEnd <= 0) return std::nullopt;
    const std::int64_t n = std::min(*request.rangeEnd, size);
    return ByteSpan{size - n, n};
  }
  const std::int64_t start = *request.rangeStart;
  if (start < 0 || start >= size) return std::nullopt;
  const std::int64_t last = request.rangeEnd ? std::min(*request.rangeEnd, size - 1) : size - 1;
  if (start > last) return std::nullopt;
  return ByteSpan{start, last - start + 1};
}

// A one-shot share's first download under way, for as long as the answer holds its file:
// taken by at most one answer at a time; an ordinary share needs none.
class DownloadMark {
 public:
  explicit DownloadMark(const SharePtr& share) {
    if (!share->IsOneShot()) return;
    bool expected = false;
    if (share->downloading.compare_exchange_strong(expected, true)) {
      share_ = share;
    } else {
      busy_ = true;
    }
  }
  ~DownloadMark() {
    if (share_) share_->downloading.store(false);
  }
  DownloadMark(const DownloadMark&) = delete;
  DownloadMark& operator=(const DownloadMark&) = delete;

  // Another answer holds the one-shot share.
  bool Busy() const { return busy_; }

 private:
  SharePtr share_;
  bool busy_ = false;
};

// What the pieces are sent from: the span of the open file, the version its head named.
struct FileBody {
  ByteSpan span;
  std::int64_t size;
  platform::FileVersion version;
  const SharePtr& share;
  const std::string& path;
};

// Sends the header block and the span's bytes of `file`. All but the last piece go out
// through the sink's file path (large pieces, or zero-copy); the last piece holds exactly
// the 1 to kLastPieceSize bytes it would hold were every piece kLastPieceSize, so the
// one-shot rule and the file's close happen at the same byte whatever the piece size. An
// answer whose body is that last piece alone leaves in one send with its header block.
// Before the last piece: a one-shot share waits until the client has what went before
// (the claim is a download's end, not bytes queued in the kernel for a client that may be
// gone); the piece is read, and then the file's version is looked at again, so a write
// that came before or during that read ends the answer without it (no body is ever
// spliced from two versions of the file); only then is the share claimed.
// Returns the body bytes that went out; none when another answer claimed the one-shot
// share before anything of this one was sent (the caller sends the 404 page instead).
std::optional<long long> SendHeadAndPieces(std::string head, const FileBody& body,
                                           platform::File& file, ShareRegistry& shares,
                                           ResponseSink& sink) {
  const ByteSpan span = body.span;
  const std::int64_t lastLength = span.count > 0 ? (span.count - 1) % kLastPieceSize + 1 : 0;
  const std::int64_t bulk = span.count - lastLength;
  if (bulk > 0) {
    Send(sink, head);
    head.clear();
    // Short of `bulk`: a failed send, or a file that ended early (only bytes read went out).
    const long long sent = sink.SendFileRange(file, span.first, bulk);
    if (sent != bulk) return sent > 0 ? sent : 0;
  }
  const bool reachesTheEnd = span.first + span.count >= body.size;
  if (reachesTheEnd && bulk > 0 && body.share->IsOneShot() && !sink.WaitUntilDelivered()) {
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
  if (file.ChangedSince(body.version)) return bulk;
  if (reachesTheEnd && shares.ClaimLastPiece(body.share, body.path) == LastPieceClaim::Lost) {
    // Another answer withdrew the share and sends the last piece: the file leaves whole
    // once. With nothing sent yet, this client is answered as one that came later.
    file.Close();
    if (bulk == 0) return std::nullopt;
    return bulk;
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
  return SendPage(sink, 400, http_text::kStatus400, {}, http_text::kBadRequestBody, headOnly);
}

ResponseSummary WriteResponse(const Request& request, ShareRegistry& shares, ResponseSink& sink) {
  const bool headOnly = request.method == RequestMethod::Head;
  if (request.badRequest || !request.path) return SendBadRequestPage(sink, headOnly);
  // A path with a zero byte, or one the code page cannot write: no share has it.
  if (!request.pathMatchable) return SendNotFoundPage(sink, headOnly);
  const SharePtr share = shares.FindShare(*request.path);
  if (!share || share->IsWithdrawn()) return SendNotFoundPage(sink, headOnly);
  // A chat's link preview fetches the link before the person it was sent to clicks it; for
  // a one-shot share that fetch would be the one download.
  if (request.linkPreview && share->IsOneShot()) return SendNotFoundPage(sink, headOnly);
  const DownloadMark mark(share);
  if (mark.Busy()) return SendBusyPage(sink, headOnly);
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
  const std::int64_t now = CurrentUnixSeconds();

  // RFC 9110's order: the preconditions that fail, then the client's copy being current.
  if (PreconditionFails(request, validators, now)) {
    file.Close();
    return SendPage(sink, 412, http_text::kStatus412, {}, http_text::kPreconditionFailedBody,
                    headOnly);
  }
  // The client's copy is this version: the head alone, and a one-shot share stays.
  if (IsNotModified(request, validators, now)) {
    file.Close();
    std::string head;
    head.append(http_text::kStatus304).append(http_text::kServer).append(DateLine(now));
    AppendValidators(head, validators);
    head.append(http_text::kClose).append(http_text::kLineEnd);
    const bool sent = Send(sink, head);
    return {304, 0, {}, !sent};
  }

  // A range of a file that changed since the client's copy would splice two versions.
  const bool ranged =
      request.hasRange && (!request.ifRange || IfRangeHolds(*request.ifRange, validators, now));
  const std::optional<ByteSpan> span = BytesToSend(request, ranged, size);
  if (!span) {
    file.Close();
    return SendRangeNotSatisfiable(sink, size, headOnly);
  }

  std::string head;
  // Room for the longest head and the last piece, which may leave in the same send.
  head.reserve(kHeadRoom +
               static_cast<std::size_t>(std::min<std::int64_t>(span->count, kLastPieceSize)));
  head.append(ranged ? http_text::kStatus206 : http_text::kStatus200)
      .append(http_text::kServer)
      .append(DateLine(now))
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
      .append(http_text::kClose)
      .append(http_text::kLineEnd);
  if (headOnly) {
    file.Close();
    const bool sent = Send(sink, head);
    return ranged ? ResponseSummary{206, 0, span, !sent} : ResponseSummary{200, 0, {}, !sent};
  }
  const FileBody body{*span, size, *version, share, *request.path};
  const std::optional<long long> sent =
      SendHeadAndPieces(std::move(head), body, file, shares, sink);
  // Another answer claimed the share before anything of this one went out.
  if (!sent) return SendNotFoundPage(sink, false);
  const bool incomplete = *sent != span->count;
  if (!ranged) return {200, *sent, {}, incomplete};
  return {206, *sent, span, incomplete};
}

}  // namespace qc
