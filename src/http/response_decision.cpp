#include "http/response_decision.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

namespace qc {

namespace {

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

// Opens the share's file and takes its version and validators from one query of it: they
// describe the bytes sent. False when there is nothing to send (the 404 page).
bool OpenSharedFile(ResponseDecision& d) {
  // A one-shot share is fetched by one client at a time, so that "one" holds; any other
  // share is read by as many clients as ask at once. Neither is served while another
  // program writes the file.
  d.file = d.share->IsOneShot() ? platform::File::OpenExclusiveRead(d.share->physicalPath)
                                : platform::File::OpenSharedRead(d.share->physicalPath);
  const std::optional<platform::FileVersion> version =
      d.file.IsOpen() ? d.file.Version() : std::optional<platform::FileVersion>();
  if (!version || version->size < 0) return false;
  d.version = *version;
  d.validators = ValidatorsOf(*version);
  return true;
}

// The newest modification and change times of the folder and of anything in it: what a
// change anywhere in the folder moves, so If-Range and If-Modified-Since dates judge the
// archive as they judge a file.
platform::FileVersion NewestTimes(const platform::FolderListing& listing) {
  platform::FileVersion newest = listing.rootVersion;
  const auto later = [](std::int64_t s1, std::int32_t n1, std::int64_t s2, std::int32_t n2) {
    return s1 > s2 || (s1 == s2 && n1 > n2);
  };
  for (const platform::FolderEntry& entry : listing.entries) {
    const platform::FileVersion& v = entry.version;
    if (later(v.modifiedSeconds, v.modifiedNanoseconds, newest.modifiedSeconds,
              newest.modifiedNanoseconds)) {
      newest.modifiedSeconds = v.modifiedSeconds;
      newest.modifiedNanoseconds = v.modifiedNanoseconds;
    }
    if (later(v.changedSeconds, v.changedNanoseconds, newest.changedSeconds,
              newest.changedNanoseconds)) {
      newest.changedSeconds = v.changedSeconds;
      newest.changedNanoseconds = v.changedNanoseconds;
    }
  }
  return newest;
}

// Lists the share's folder as it stands now and lays its archive out: the length and the
// validators come from the listing alone, no file is read (a HEAD reads none at all). False
// when the folder is gone or cannot be read (the 404 page).
bool ListSharedFolder(ResponseDecision& d) {
  const std::optional<platform::FolderListing> listing =
      platform::ListFolder(d.share->physicalPath);
  if (!listing) return false;
  d.archive = std::make_shared<const ZipArchive>(*listing);
  d.version = NewestTimes(*listing);
  d.version.size = d.archive->Size();
  d.validators = ArchiveValidators(d.archive->EntityTag(), d.version);
  return true;
}

}  // namespace

int StatusOf(AnswerKind kind) {
  switch (kind) {
    case AnswerKind::BadRequest:
      return 400;
    case AnswerKind::NotFound:
      return 404;
    case AnswerKind::Busy:
      return 503;
    case AnswerKind::PreconditionFailed:
      return 412;
    case AnswerKind::NotModified:
      return 304;
    case AnswerKind::RangeNotSatisfiable:
      return 416;
    case AnswerKind::WholeFile:
      return 200;
    case AnswerKind::FileRange:
      return 206;
  }
  return 400;
}

DownloadMark::DownloadMark(const SharePtr& share) {
  if (!share->IsOneShot()) return;
  bool expected = false;
  if (share->downloading.compare_exchange_strong(expected, true)) {
    share_ = share;
  } else {
    busy_ = true;
  }
}

DownloadMark::~DownloadMark() {
  if (share_) share_->downloading.store(false);
}

DownloadMark::DownloadMark(DownloadMark&& other) noexcept
    : share_(std::move(other.share_)), busy_(other.busy_) {
  other.share_.reset();
}

DownloadMark& DownloadMark::operator=(DownloadMark&& other) noexcept {
  if (this != &other) {
    if (share_) share_->downloading.store(false);
    share_ = std::move(other.share_);
    other.share_.reset();
    busy_ = other.busy_;
  }
  return *this;
}

std::int64_t CurrentUnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

ResponseDecision DecideResponse(const Request& request, ShareRegistry& shares) {
  ResponseDecision d;
  d.headOnly = request.method == RequestMethod::Head;
  if (request.badRequest || !request.path) return d;
  d.kind = AnswerKind::NotFound;
  // A path with a zero byte, or one the code page cannot write: no share has it.
  if (!request.pathMatchable) return d;
  d.share = shares.FindShare(*request.path);
  if (!d.share || d.share->IsWithdrawn()) return d;
  d.counts = !request.linkPreview;
  // A share whose time is up is withdrawn by the first request after it; a download under
  // way then is left to finish.
  // One clock read judges the share's time and the request's conditions.
  d.now = CurrentUnixSeconds();
  if (shares.ExpireIfDue(d.share, d.now)) return d;
  const bool oneShot = d.share->IsOneShot();
  // A chat's link preview fetches the link before the person it was sent to clicks it; for
  // a one-shot share that fetch would be the one download.
  if (request.linkPreview && oneShot) return d;
  d.mark = DownloadMark(d.share);
  if (d.mark.Busy()) {
    d.kind = AnswerKind::Busy;
    return d;
  }
  const bool found = d.share->IsFolder() ? ListSharedFolder(d) : OpenSharedFile(d);
  // Withdrawn is asked again once the file is open: an answer that found the share before
  // another one claimed it, and opened the file the moment that one had closed it, must
  // not send it a second time.
  if (!found || d.share->IsWithdrawn()) {
    d.file.Close();
    d.archive.reset();
    return d;
  }

  // RFC 9110's order: the preconditions that fail, then the client's copy being current.
  // Neither withdraws a one-shot share, nor does a 416 or a HEAD.
  if (PreconditionFails(request, d.validators, d.now)) {
    d.kind = AnswerKind::PreconditionFailed;
  } else if (IsNotModified(request, d.validators, d.now)) {
    d.kind = AnswerKind::NotModified;
  } else {
    // A range of a file that changed since the client's copy would splice two versions.
    const bool ranged = request.hasRange &&
                        (!request.ifRange || IfRangeHolds(*request.ifRange, d.validators, d.now));
    const std::optional<ByteSpan> span = BytesToSend(request, ranged, d.version.size);
    if (!span) {
      d.kind = AnswerKind::RangeNotSatisfiable;
    } else {
      d.kind = ranged ? AnswerKind::FileRange : AnswerKind::WholeFile;
      d.span = *span;
    }
  }
  if (!d.SendsFile()) {
    d.file.Close();
    d.archive.reset();
  }
  return d;
}

}  // namespace qc
