// The notices of completed downloads: gathered from the connections' threads, told by the
// notification icon's thread, several that come close together as one. Portable: the
// wording and the gathering are tested on both builds.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace qc {

struct CompletedDownload {
  std::string name;           // the file name of the share's link
  std::uint32_t address = 0;  // the client's IPv4 address, host order; 0 unknown
  std::int64_t size = 0;      // bytes of the whole file
};

// A download that completes this soon after the one before joins its notice, up to the
// limit after the first: a burst (a script, a page of links) is told once, and a single
// download is told within a second and a half.
inline constexpr std::chrono::milliseconds kNoticeQuiet{1500};
inline constexpr std::chrono::milliseconds kNoticeGatherLimit{5000};

inline constexpr char kNoticeDownloadCompleted[] = "Download completed";
inline constexpr char kNoticeDownloadsCompleted[] = "Downloads completed";

// A size as people read it: "512 bytes", "12.4 MB", "1.5 GB" (binary multiples, one
// decimal below 100 units). `number` is the figure, `unit` what follows it.
struct SizeParts {
  std::string number;
  std::string unit;
};
SizeParts SplitByteSize(std::int64_t bytes);
std::string ByteSizeText(std::int64_t bytes);
// "192.168.1.23"; empty for 0.
std::string AddressText(std::uint32_t address);

struct DownloadNoticeText {
  std::string title;
  std::string text;
};
// One download: "report.pdf was sent to 192.168.1.23 (12.4 MB)". Several: "3 downloads
// completed: report.pdf and 2 more", or "... report.pdf, 3 times" when all were that file.
DownloadNoticeText ComposeDownloadNotice(const CompletedDownload& first, std::size_t count,
                                         bool allSameFile);

// Thread-safe: connections Add, the icon's thread takes what is due on its timer.
class DownloadNotices {
 public:
  using Clock = std::chrono::steady_clock;

  // Off (the default, and when the user turned the notices or the icon off), nothing is
  // gathered.
  void SetWanted(bool wanted);
  bool Wanted() const { return wanted_.load(std::memory_order_relaxed); }
  void Add(CompletedDownload download, Clock::time_point now);
  // The notice of the gathered downloads once none came for kNoticeQuiet or the first came
  // kNoticeGatherLimit ago; then gathering starts anew.
  std::optional<DownloadNoticeText> TakeDue(Clock::time_point now);

 private:
  std::atomic<bool> wanted_{false};
  std::mutex mutex_;
  std::optional<CompletedDownload> first_;
  std::size_t count_ = 0;
  bool sameFile_ = true;
  Clock::time_point firstAt_;
  Clock::time_point lastAt_;
};

}  // namespace qc
