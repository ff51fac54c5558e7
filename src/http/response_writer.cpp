#include "http/response_writer.h"

#include <algorithm>
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

// Sends the header block and the span's bytes of the answer's file. All but the last piece go out
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
std::optional<long long> SendHeadAndPieces(std::string head, ResponseDecision& answer,
                                           ShareRegistry& shares, ResponseSink& sink) {
  platform::File& file = answer.file;
  const ByteSpan span = answer.span;
  const std::int64_t lastLength = span.count > 0 ? (span.count - 1) % kLastPieceSize + 1 : 0;
  const std::int64_t bulk = span.count - lastLength;
  if (bulk > 0) {
    Send(sink, head);
    head.clear();
    // Short of `bulk`: a failed send, or a file that ended early (only bytes read went out).
    const long long sent = sink.SendFileRange(file, span.first, bulk);
    if (sent != bulk) return sent > 0 ? sent : 0;
  }
  const bool reachesTheEnd = span.first + span.count >= answer.version.size;
  if (reachesTheEnd && bulk > 0 && answer.share->IsOneShot() && !sink.WaitUntilDelivered()) {
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
  if (file.ChangedSince(answer.version)) return bulk;
  if (reachesTheEnd &&
      shares.ClaimLastPiece(answer.share, answer.share->virtualPath) == LastPieceClaim::Lost) {
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
  ResponseDecision decision = DecideResponse(request, shares);
  return WriteDecidedResponse(decision, shares, sink);
}

ResponseSummary WriteDecidedResponse(ResponseDecision& decision, ShareRegistry& shares,
                                     ResponseSink& sink) {
  const bool headOnly = decision.headOnly;
  switch (decision.kind) {
    case AnswerKind::BadRequest:
      return SendBadRequestPage(sink, headOnly);
    case AnswerKind::NotFound:
      return SendNotFoundPage(sink, headOnly);
    case AnswerKind::Busy:
      return SendBusyPage(sink, headOnly);
    case AnswerKind::PreconditionFailed:
      return SendPage(sink, 412, http_text::kStatus412, {}, http_text::kPreconditionFailedBody,
                      headOnly);
    case AnswerKind::NotModified: {
      // The head alone, and a one-shot share stays.
      std::string head;
      head.append(http_text::kStatus304).append(http_text::kServer).append(DateLine(decision.now));
      AppendValidators(head, decision.validators);
      head.append(http_text::kClose).append(http_text::kLineEnd);
      const bool sent = Send(sink, head);
      return {304, 0, {}, !sent};
    }
    case AnswerKind::RangeNotSatisfiable:
      return SendRangeNotSatisfiable(sink, decision.version.size, headOnly);
    case AnswerKind::WholeFile:
    case AnswerKind::FileRange:
      break;
  }

  const bool ranged = decision.kind == AnswerKind::FileRange;
  const ByteSpan span = decision.span;
  std::string head;
  // Room for the longest head and the last piece, which may leave in the same send.
  head.reserve(kHeadRoom +
               static_cast<std::size_t>(std::min<std::int64_t>(span.count, kLastPieceSize)));
  head.append(ranged ? http_text::kStatus206 : http_text::kStatus200)
      .append(http_text::kServer)
      .append(DateLine(decision.now))
      .append(http_text::kAcceptRanges)
      .append(http_text::kContentType);
  AppendValidators(head, decision.validators);
  if (ranged) {
    head.append(http_text::kContentRange)
        .append(std::to_string(span.first))
        .append("-")
        .append(std::to_string(span.first + span.count - 1))
        .append("/")
        .append(std::to_string(decision.version.size))
        .append(http_text::kLineEnd);
  }
  head.append(http_text::kContentLength)
      .append(std::to_string(span.count))
      .append(http_text::kLineEnd)
      .append(http_text::kClose)
      .append(http_text::kLineEnd);
  if (headOnly) {
    const bool sent = Send(sink, head);
    return ranged ? ResponseSummary{206, 0, span, !sent} : ResponseSummary{200, 0, {}, !sent};
  }
  const std::optional<long long> sent = SendHeadAndPieces(std::move(head), decision, shares, sink);
  // Another answer claimed the share before anything of this one went out.
  if (!sent) return SendNotFoundPage(sink, false);
  const bool incomplete = *sent != span.count;
  if (!ranged) return {200, *sent, {}, incomplete};
  return {206, *sent, span, incomplete};
}

}  // namespace qc
