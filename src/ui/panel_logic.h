// The control panel's rules that need no window, kept apart from the windows so they can
// be checked directly on every build: the port field's number, a share row's two columns,
// how a chosen file completes the New share window's virtual path, and the URL copy of
// the selected rows.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "shares/settings_file.h"
#include "shares/share_registry.h"
#include "shares/share_url.h"

namespace qc::ui {

// The "File" column of a share whose virtual path has no "/".
inline constexpr char kInvalidVirtualPath[] = "error, virtual path is invalid";

// The number at the start of the port field as atoi reads it: leading white space, an
// optional sign, decimal digits up to the first other character; 0 without digits. Values
// beyond the int range are clamped to it, as the C library's conversion does.
int ParsePortText(const char* text);

// The low 16 bits of that number: what the settings store.
std::uint16_t StoredPort(int number);

struct ShareRowTexts {
  std::string file;    // column "File": after the last "/"
  std::string folder;  // column "Virtual folder": up to and including the last "/"
};

// The two columns of a share's row. A path without any "/" still gets a row, with the
// invalid-path text, so rows and shares stay aligned.
ShareRowTexts SplitVirtualPath(const std::string& virtualPath);

// After a file was chosen in the open-file dialog: the new text of the virtual-file edit,
// or none when the edit keeps its text. An empty edit becomes "/" and the file name; a
// text ending in "/" is a folder and gets the file name appended.
std::optional<std::string> CompleteVirtualFile(const std::string& currentText,
                                               const std::string& chosenPath);
// The same for a folder chosen in the folder dialog: its archive's name ("photos.zip", a
// drive's root by its letter) where a file's name would go.
std::optional<std::string> CompleteVirtualFolder(const std::string& currentText,
                                                 const std::string& chosenFolder);

// "Copy to clipboard": the URLs of the shares at the selected rows (ascending row
// numbers), joined by "\r\n", onto `services`' clipboard, the host found through its
// addresses. The clipboard is closed again when this returns.
UrlCopy CopySelectedUrls(const platform::Services& services, const ServerSettings& settings,
                         ShareRegistry& shares, const std::vector<int>& selectedRows);
// Tells the user (through `sink`) about a copy that was refused; the other results pass
// silently.
void ReportSelectedUrlCopy(const platform::MessageSink& sink, UrlCopy result);

// How the user's locale writes numbers and moments, handed in: the panel passes the
// system's (GetNumberFormat, GetDateFormat and GetTimeFormat), tests their own.
struct LocaleFormat {
  // A number written as digits, optionally "." and decimals ("1234.5"), as the user reads it.
  std::function<std::string(const std::string& digits)> number;
  // A Unix time as the user's short date and time.
  std::function<std::string(std::int64_t unixSeconds)> moment;
};

// The share list's columns after "File" and "Virtual folder", in this order.
enum ShareColumn : int {
  kColumnDownloads = 2,
  kColumnLastDownload = 3,
  kColumnRemaining = 4,
  kColumnProgress = 5,
};

// "Downloads": the completed downloads.
std::string DownloadsColumnText(std::uint64_t completed, const LocaleFormat& format);
// "Last download": its moment and client ("12/8/2026 7:12 PM from 192.168.1.23"); empty
// before the first.
std::string LastDownloadColumnText(const DownloadTally& tally, const LocaleFormat& format);
// A time left: seconds below a minute, minutes below 100 of them (rounded up, so that
// "1 min" is never less than a minute), hours below two days, then days (both rounded).
std::string DurationText(std::int64_t seconds, const LocaleFormat& format);
// "Remaining": "2 of 3 left", "ends in 3 h", both joined by ", "; "ended" once the share is
// withdrawn; empty for a share without limits. A one-shot share is limited to 1.
struct ShareState {
  bool oneShot = false;
  bool withdrawn = false;
  std::uint64_t completed = 0;
  ShareLimits limits;
};
std::string RemainingColumnText(const ShareState& share, std::int64_t now,
                                const LocaleFormat& format);
// "Progress" while answers send the share: "42 % at 1.2 MB/s", with the number of answers
// when there are several ("(4 connections)"); no rate until one was measured. Empty when
// nothing runs.
std::string ProgressColumnText(std::int64_t sent, std::int64_t total, double bytesPerSecond,
                               int answers, const LocaleFormat& format);

// Each running share's sending rate, from the panel's samples of what its answers have sent
// so far: the change since the last sample, smoothed over the samples before. An answer that
// ends takes its bytes out of the sum; that sample keeps the rate as it was.
class ProgressRates {
 public:
  // The rate of `share` (any identity) after a sample at `seconds` (a steady clock).
  double Sample(const void* share, std::int64_t sent, double seconds);
  // Forgets the shares not sampled since the last call.
  void ForgetUnsampled();

 private:
  struct Entry {
    std::int64_t sent = 0;
    double seconds = 0;
    double rate = 0;
    bool sampled = true;
  };
  std::map<const void*, Entry> entries_;
};

// What the panel shares: a file, or a path where one may be about to be made; never a
// folder, a device or a pipe (kNotAFile).
bool IsFileOrMissing(const std::string& path);

}  // namespace qc::ui
