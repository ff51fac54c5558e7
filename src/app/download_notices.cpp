#include "app/download_notices.h"

#include <cstdio>

namespace qc {

SizeParts SplitByteSize(std::int64_t bytes) {
  if (bytes < 1024) return {std::to_string(bytes < 0 ? 0 : bytes), bytes == 1 ? "byte" : "bytes"};
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // 1023.95 KB would print as "1024.0 KB": such a value is the next unit's 1.0.
  while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char number[32];
  if (value < 99.95) {
    std::snprintf(number, sizeof number, "%.1f", value);
  } else {
    std::snprintf(number, sizeof number, "%.0f", value);
  }
  return {number, kUnits[unit]};
}

std::string ByteSizeText(std::int64_t bytes) {
  const SizeParts parts = SplitByteSize(bytes);
  return parts.number + " " + parts.unit;
}

std::string AddressText(std::uint32_t a) {
  if (a == 0) return std::string();
  std::string text = std::to_string(a >> 24);
  for (const int shift : {16, 8, 0}) {
    text += '.';
    text += std::to_string((a >> shift) & 0xFF);
  }
  return text;
}

DownloadNoticeText ComposeDownloadNotice(const CompletedDownload& first, std::size_t count,
                                         bool allSameFile) {
  if (count <= 1) {
    std::string text = first.name;
    text += " was sent";
    if (first.address != 0) text += " to " + AddressText(first.address);
    text += " (" + ByteSizeText(first.size) + ")";
    return {kNoticeDownloadCompleted, text};
  }
  std::string text = std::to_string(count);
  text += " downloads completed: ";
  text += first.name;
  if (allSameFile) {
    text += ", " + std::to_string(count) + " times";
  } else {
    text += " and " + std::to_string(count - 1) + " more";
  }
  return {kNoticeDownloadsCompleted, text};
}

void DownloadNotices::SetWanted(bool wanted) {
  wanted_.store(wanted);
  if (wanted) return;
  std::lock_guard guard(mutex_);
  first_.reset();
  count_ = 0;
}

void DownloadNotices::Add(CompletedDownload download, Clock::time_point now) {
  if (!Wanted()) return;
  std::lock_guard guard(mutex_);
  if (!first_) {
    first_ = std::move(download);
    count_ = 1;
    sameFile_ = true;
    firstAt_ = now;
  } else {
    ++count_;
    if (download.name != first_->name) sameFile_ = false;
  }
  lastAt_ = now;
}

std::optional<DownloadNoticeText> DownloadNotices::TakeDue(Clock::time_point now) {
  std::lock_guard guard(mutex_);
  if (!first_) return std::nullopt;
  if (now - lastAt_ < kNoticeQuiet && now - firstAt_ < kNoticeGatherLimit) return std::nullopt;
  DownloadNoticeText notice = ComposeDownloadNotice(*first_, count_, sameFile_);
  first_.reset();
  count_ = 0;
  return notice;
}

}  // namespace qc
