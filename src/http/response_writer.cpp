#include "http/response_writer.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/texts.h"
#include "http/validators.h"
#include "platform/file.h"
#include "shares/zip_archive.h"

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

// Where an answer's body comes from: the share's open file, or a folder share's archive.
// The pieces and the one-shot rule around them are the same for both.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Sends `count` bytes from `first` through the sink; returns the bytes that went out,
  // fewer when a send failed or the source ended or changed on the way.
  virtual long long SendBulk(ResponseSink& sink, std::int64_t first, std::int64_t count) = 0;
  // Appends the `count` bytes from `first` to `out` (nothing is sent yet). False when what
  // was read no longer belongs to the version the head announced: the answer then ends
  // without them.
  virtual bool TakeLastPiece(std::int64_t first, std::int64_t count, std::string& out) = 0;
  // Lets go of what the body was read from, before its last piece goes out.
  virtual void Close() {}
};

class FileBody : public BodySource {
 public:
  FileBody(platform::File& file, const platform::FileVersion& version)
      : file_(file), version_(version) {}

  long long SendBulk(ResponseSink& sink, std::int64_t first, std::int64_t count) override {
    return sink.SendFileRange(file_, first, count);
  }

  // Read first, then checked: a write that lands before or during the read shows in the
  // check (every write sets the times), so the body never ends in bytes of another version.
  bool TakeLastPiece(std::int64_t first, std::int64_t count, std::string& out) override {
    char piece[kLastPieceSize];
    long long got = 0;
    // A file nothing was read from yet is at its start: no seek (a system call) for the
    // commonest small answer, a whole file of at most one piece.
    if (count > 0 && (first == 0 || file_.Seek(first))) {
      got = file_.Read(piece, static_cast<std::size_t>(count));
    }
    if (file_.ChangedSince(version_)) return false;
    if (got > 0) out.append(piece, static_cast<std::size_t>(got));
    return true;
  }

  void Close() override { file_.Close(); }

 private:
  platform::File& file_;
  const platform::FileVersion& version_;
};

// The response sink as the archive's sink: the same two calls, one floor down.
class ArchiveSinkOf : public ArchiveSink {
 public:
  explicit ArchiveSinkOf(ResponseSink& sink) : sink_(sink) {}
  long long SendAll(const char* data, long long count) override {
    return sink_.SendAll(data, count);
  }
  long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) override {
    return sink_.SendFileRange(file, offset, count);
  }

 private:
  ResponseSink& sink_;
};

// Keeps the bytes: the archive's last piece is made whole, its files checked against the
// listing, before the one-shot claim and before any of it goes out.
class PieceSink : public ArchiveSink {
 public:
  explicit PieceSink(std::string& out) : out_(out) {}
  long long SendAll(const char* data, long long count) override {
    out_.append(data, static_cast<std::size_t>(count));
    return count;
  }
  long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) override {
    if (count <= 0 || !file.Seek(offset)) return 0;
    const std::size_t at = out_.size();
    out_.resize(at + static_cast<std::size_t>(count));
    const long long got = file.Read(out_.data() + at, static_cast<std::size_t>(count));
    out_.resize(at + static_cast<std::size_t>(got > 0 ? got : 0));
    return got > 0 ? got : 0;
  }

 private:
  std::string& out_;
};

// A folder share's archive. A file that vanished, shrank, changed or cannot be read fails
// the send before the archive could look complete: the answer ends short, and a resume
// finds a new tag.
class ArchiveBody : public BodySource {
 public:
  ArchiveBody(const ZipArchive& archive, CrcCache& crcs) : archive_(archive), crcs_(crcs) {}

  long long SendBulk(ResponseSink& sink, std::int64_t first, std::int64_t count) override {
    ArchiveSinkOf archiveSink(sink);
    const ArchiveSendResult result = archive_.Send(archiveSink, first, count, crcs_);
    if (result.outcome == ArchiveSendOutcome::Sent) return result.sent;
    return std::min<long long>(result.sent, count - 1);
  }

  bool TakeLastPiece(std::int64_t first, std::int64_t count, std::string& out) override {
    const std::size_t before = out.size();
    PieceSink piece(out);
    if (archive_.Send(piece, first, count, crcs_).outcome == ArchiveSendOutcome::Sent) {
      return true;
    }
    out.resize(before);
    return false;
  }

 private:
  const ZipArchive& archive_;
  CrcCache& crcs_;
};

// Sends the header block and the span's bytes of the answer's body. All but the last piece
// go out through the sink's file path (large pieces, or zero-copy); the last piece holds
// exactly the 1 to kLastPieceSize bytes it would hold were every piece kLastPieceSize, so
// the one-shot rule and the file's close happen at the same byte whatever the piece size.
// An answer whose body is that last piece alone leaves in one send with its header block.
// Before the last piece: a one-shot share waits until the client has what went before
// (the claim is a download's end, not bytes queued in the kernel for a client that may be
// gone); the piece is read and checked against the version the head announced (no body is
// ever spliced from two versions); only then is the share claimed.
// Returns the body bytes that went out; none when another answer claimed the one-shot
// share before anything of this one was sent (the caller sends the 404 page instead).
std::optional<long long> SendHeadAndPieces(std::string head, ResponseDecision& answer,
                                           BodySource& body, ShareRegistry& shares,
                                           ResponseSink& sink, std::uint32_t peer,
                                           bool& completed) {
  const ByteSpan span = answer.span;
  const std::int64_t lastLength = span.count > 0 ? (span.count - 1) % kLastPieceSize + 1 : 0;
  const std::int64_t bulk = span.count - lastLength;
  if (bulk > 0) {
    Send(sink, head);
    head.clear();
    // Short of `bulk`: a failed send, or a body that ended early (only bytes read went out).
    const long long sent = body.SendBulk(sink, span.first, bulk);
    if (sent != bulk) return sent > 0 ? sent : 0;
  }
  const bool reachesTheEnd = span.first + span.count >= answer.version.size;
  // A share that ends after a number of downloads (one-shot or -limit) is claimed before
  // its last piece goes out, once the client has all before it: of answers at once, only
  // the limit's number send it. Any other share sends its last piece at once (its body
  // never waits on the client) and counts the download once the client has acknowledged
  // all of it.
  // Only an answer that reaches the end asks the share for its limit or reads the clock.
  const bool limited =
      reachesTheEnd && (answer.share->IsOneShot() || answer.share->Limits().maxDownloads != 0);
  const DownloadEnd end =
      reachesTheEnd ? DownloadEnd{CurrentUnixSeconds(), peer, answer.counts, answer.version.size}
                    : DownloadEnd{};
  if (limited && bulk > 0 && answer.counts && !sink.WaitUntilDelivered(DeliveryWait::MoreFollows)) {
    return bulk;
  }
  const std::size_t headLength = head.size();
  if (!body.TakeLastPiece(span.first + bulk, lastLength, head)) return bulk;
  LastPieceClaim claim = LastPieceClaim::NotClaimed;
  if (limited) {
    claim = shares.ClaimLastPiece(answer.share, answer.share->virtualPath, end);
  }
  if (claim == LastPieceClaim::Lost) {
    // Another answer withdrew the share and sends the last piece: the file leaves whole
    // once. With nothing sent yet, this client is answered as one that came later.
    body.Close();
    if (bulk == 0) return std::nullopt;
    return bulk;
  }
  // Closed before the last piece goes out: a client that fetches the file again the
  // moment its download completes must not find it still open (and get the 404 page).
  body.Close();
  if (!head.empty() && !Send(sink, head)) return bulk;
  completed = claim == LastPieceClaim::Counted || claim == LastPieceClaim::Won;
  if (reachesTheEnd && !limited && answer.counts) {
    std::function<bool()> count = [&shares, share = answer.share, end] {
      const LastPieceClaim counted = shares.ClaimLastPiece(share, share->virtualPath, end);
      return counted == LastPieceClaim::Counted || counted == LastPieceClaim::Won;
    };
    // Counted here once delivered, unless the connection counts it after the writer.
    const DeliveryWait last = bulk == 0 ? DeliveryWait::WholeInOneSend : DeliveryWait::Last;
    const bool countedLater =
        last == DeliveryWait::WholeInOneSend && sink.CountOnceDelivered(count);
    if (!countedLater && sink.WaitUntilDelivered(last)) completed = count();
  }
  return bulk + static_cast<long long>(head.size() - headLength);
}

// The pieces' buffer, one per thread and kept for its next answers: a megabyte allocated
// for each answer was mapped, faulted in page by page and unmapped again every time, a
// fifth of quillcast.exe's CPU on 1 MiB answers under Wine (docs/PERFORMANCE.md). A thread
// sends one answer at a time, and nothing below a send comes back here.
// Plain values, freed by ReleasePieceBuffer: a thread-local object with a destructor hung
// a sending thread's end under Wine (mingw-w64 runs such destructors as the thread
// detaches).
thread_local char* tPieceBuffer = nullptr;
thread_local std::size_t tPieceCapacity = 0;

char* PieceBuffer(std::size_t size) {
  if (tPieceCapacity < size) {
    ReleasePieceBuffer();
    tPieceBuffer = new char[size];
    tPieceCapacity = size;
  }
  return tPieceBuffer;
}

}  // namespace

void ReleasePieceBuffer() {
  delete[] tPieceBuffer;
  tPieceBuffer = nullptr;
  tPieceCapacity = 0;
}

long long ResponseSink::SendFileRange(platform::File& file, std::int64_t offset,
                                      std::int64_t count) {
  if (count <= 0) return 0;
  if (!file.Seek(offset)) return 0;
  const auto capacity = static_cast<std::size_t>(std::min<std::int64_t>(count, kPieceSize));
  char* const buffer = PieceBuffer(capacity);
  std::int64_t sent = 0;
  while (sent < count) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(count - sent, static_cast<std::int64_t>(capacity)));
    const long long got = file.Read(buffer, n);
    if (got <= 0) break;
    if (SendAll(buffer, got) == -1) break;
    sent += got;
    if (static_cast<std::size_t>(got) < n) break;
  }
  return sent;
}

ResponseSummary SendBadRequestPage(ResponseSink& sink, bool headOnly) {
  return SendPage(sink, 400, http_text::kStatus400, {}, http_text::kBadRequestBody, headOnly);
}

ResponseSummary WriteResponse(const Request& request, ShareRegistry& shares, ResponseSink& sink,
                              std::uint32_t peer) {
  ResponseDecision decision = DecideResponse(request, shares);
  return WriteDecidedResponse(decision, shares, sink, peer);
}

ResponseSummary WriteDecidedResponse(ResponseDecision& decision, ShareRegistry& shares,
                                     ResponseSink& sink, std::uint32_t peer) {
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
      .append(decision.share->IsFolder() ? http_text::kContentTypeZip : http_text::kContentType);
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
  std::optional<long long> sent;
  bool completed = false;
  // Seen by the panel while the body goes out.
  const RunningDownloads::Entry running(shares.Running(), decision.share.get(), span.count,
                                        sink.sentBytes);
  if (decision.archive) {
    ArchiveBody body(*decision.archive, *decision.share->folderCrcs);
    sent = SendHeadAndPieces(std::move(head), decision, body, shares, sink, peer, completed);
  } else {
    FileBody body(decision.file, decision.version);
    sent = SendHeadAndPieces(std::move(head), decision, body, shares, sink, peer, completed);
  }
  // Another answer claimed the share before anything of this one went out.
  if (!sent) return SendNotFoundPage(sink, false);
  const bool incomplete = *sent != span.count;
  if (!ranged) return {200, *sent, {}, incomplete, completed};
  return {206, *sent, span, incomplete, completed};
}

}  // namespace qc
