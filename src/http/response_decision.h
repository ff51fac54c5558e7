// What the server answers a parsed request, decided before any byte of the answer is
// written: the page or the file, the status, the bytes of the file, its validators, and the
// one-shot share's mark. The writer (response_writer.h) puts it on the wire.
#pragma once
#include <cstdint>
#include <memory>

#include "http/request.h"
#include "http/validators.h"
#include "platform/file.h"
#include "shares/share_registry.h"
#include "shares/zip_archive.h"

namespace qc {

// The bytes an answer sends: `count` bytes of the file from `first`.
struct ByteSpan {
  std::int64_t first = 0;
  std::int64_t count = 0;
};

// The answers there are, in the order they are decided (RFC 9110's for the conditions).
enum class AnswerKind {
  BadRequest,           // 400: no GET or HEAD line, a bad range, a head too long
  NotFound,             // 404: no such share, a path that can name none, a file not served
  Busy,                 // 503: a one-shot share's first download is under way
  PreconditionFailed,   // 412: If-Match or If-Unmodified-Since not met
  NotModified,          // 304: the client's copy is this version
  RangeNotSatisfiable,  // 416: the range names no byte of the file
  WholeFile,            // 200
  FileRange,            // 206
};

// The status code an answer of `kind` carries.
int StatusOf(AnswerKind kind);

// A one-shot share's first download under way, for as long as the answer holds its file:
// taken by at most one answer at a time; an ordinary share needs none.
class DownloadMark {
 public:
  DownloadMark() = default;
  explicit DownloadMark(const SharePtr& share);
  ~DownloadMark();
  DownloadMark(DownloadMark&& other) noexcept;
  DownloadMark& operator=(DownloadMark&& other) noexcept;
  DownloadMark(const DownloadMark&) = delete;
  DownloadMark& operator=(const DownloadMark&) = delete;

  // Another answer holds the one-shot share.
  bool Busy() const { return busy_; }

 private:
  SharePtr share_;
  bool busy_ = false;
};

// One answer, decided. Move-only: it holds the open file and the one-shot mark, which the
// answer keeps until it has been written.
struct ResponseDecision {
  AnswerKind kind = AnswerKind::BadRequest;
  bool headOnly = false;  // HEAD: the head the GET would get, without a body
  // Whether the answer, sent to its end, is a completed download: not a link preview's.
  bool counts = true;
  // From PreconditionFailed on: the open file's version (its size among it) and
  // validators, and the clock read the conditions were judged by, which the 304, 200 and
  // 206 heads date themselves with. A folder share's version is its archive's length and
  // the newest times in the folder.
  platform::FileVersion version;
  Validators validators;
  std::int64_t now = 0;
  // WholeFile and FileRange: the bytes the body holds (the whole file for WholeFile).
  ByteSpan span;
  // The share found, its mark (declared before the file, so the file closes first), and
  // for a WholeFile or FileRange GET the open file; every other answer has closed the file
  // already. The one-shot rule runs only for those.
  SharePtr share;
  DownloadMark mark;
  platform::File file;
  // A folder share's archive, laid out from the listing taken for this request; kept, like
  // the file, only for a WholeFile or FileRange GET.
  std::shared_ptr<const ZipArchive> archive;

  int Status() const { return StatusOf(kind); }
  // The body is sent from the file (or the archive), and a one-shot share may be claimed on
  // the way.
  bool SendsFile() const {
    return !headOnly && (kind == AnswerKind::WholeFile || kind == AnswerKind::FileRange);
  }
};

// Seconds since 1970 by the system clock.
std::int64_t CurrentUnixSeconds();

// Decides the answer to `request`: looks the share up, takes a one-shot share's mark,
// opens the file (or lists the folder and lays its archive out, reading no file) and judges
// the conditions and the range. Sends nothing.
ResponseDecision DecideResponse(const Request& request, ShareRegistry& shares);

}  // namespace qc
