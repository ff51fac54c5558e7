#include "ui/panel_logic.h"

#include <climits>

#include "app/download_notices.h"
#include "platform/directory.h"
#include "ui/panel_messages.h"

namespace qc::ui {

int ParsePortText(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    // Past the int range the result is pinned; stop before the accumulator overflows.
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::uint16_t StoredPort(int number) {
  return static_cast<std::uint16_t>(static_cast<unsigned int>(number) & 0xFFFFu);
}

ShareRowTexts SplitVirtualPath(const std::string& virtualPath) {
  const std::size_t slash = virtualPath.rfind('/');
  if (slash == std::string::npos) return {kInvalidVirtualPath, ""};
  return {virtualPath.substr(slash + 1), virtualPath.substr(0, slash + 1)};
}

std::optional<std::string> CompleteVirtualFile(const std::string& currentText,
                                               const std::string& chosenPath) {
  if (!currentText.empty() && currentText.back() != '/') return std::nullopt;
  std::string completed = currentText.empty() ? std::string("/") : currentText;
  completed.append(chosenPath, FileNameOf(chosenPath));
  return completed;
}

std::optional<std::string> CompleteVirtualFolder(const std::string& currentText,
                                                 const std::string& chosenFolder) {
  if (!currentText.empty() && currentText.back() != '/') return std::nullopt;
  // "/name.zip" without the default folder: the folder the edit already names takes its
  // place.
  const std::optional<std::string> archive = MakeFolderVirtualPath(ServerSettings{}, chosenFolder);
  if (!archive) return std::nullopt;
  std::string completed = currentText.empty() ? std::string("/") : currentText;
  completed.append(*archive, 1, std::string::npos);
  return completed;
}

UrlCopy CopySelectedUrls(const platform::Services& services, const ServerSettings& settings,
                         ShareRegistry& shares, const std::vector<int>& selectedRows) {
  ClipboardSession clipboard(services.clipboard);
  if (!clipboard.IsOpen()) return UrlCopy::ClipboardUnavailable;
  if (selectedRows.empty()) return UrlCopy::NothingSelected;
  const std::string host = UrlHost(settings, services.addresses);
  const std::string digits = std::to_string(settings.port);

  // The shares are taken once: composing from the same records that were measured keeps
  // the text within its size even if the list changes meanwhile.
  std::vector<SharePtr> selected;
  selected.reserve(selectedRows.size());
  std::size_t size = 0;
  for (int row : selectedRows) {
    SharePtr share = shares.ShareAt(row);
    if (!share) return UrlCopy::Desync;
    size += EscapeUrlPath(share->virtualPath).size() + host.size() + digits.size() + kUrlOverhead;
    if (settings.port != kDefaultPort) size += 1;
    selected.push_back(std::move(share));
  }

  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (i != 0) text.append(kUrlSeparator);
    text.append(ComposeShareUrl(host, settings.port, *selected[i]));
  }
  return clipboard.Replace(std::move(text), size + 1);
}

void ReportSelectedUrlCopy(const platform::MessageSink& sink, UrlCopy result) {
  if (result == UrlCopy::NothingSelected) messages::Show(sink, messages::kSelectAtLeastOne);
  if (result == UrlCopy::Desync) messages::Show(sink, messages::kDesync);
}

bool IsFileOrMissing(const std::string& path) {
  const platform::PathKind kind = platform::KindOfPath(path);
  return kind == platform::PathKind::RegularFile || kind == platform::PathKind::Missing;
}

namespace {
std::string Number(const LocaleFormat& format, const std::string& digits) {
  return format.number ? format.number(digits) : digits;
}
}  // namespace

std::string DownloadsColumnText(std::uint64_t completed, const LocaleFormat& format) {
  return Number(format, std::to_string(completed));
}

std::string LastDownloadColumnText(const DownloadTally& tally, const LocaleFormat& format) {
  if (tally.lastTime == 0) return std::string();
  std::string text = format.moment ? format.moment(tally.lastTime) : std::to_string(tally.lastTime);
  if (tally.lastAddress != 0) text += " from " + AddressText(tally.lastAddress);
  return text;
}

std::string DurationText(std::int64_t seconds, const LocaleFormat& format) {
  constexpr std::int64_t kMinute = 60, kHour = 3600, kDay = 86400;
  if (seconds < kMinute) return Number(format, std::to_string(seconds < 0 ? 0 : seconds)) + " s";
  if (seconds < 100 * kMinute) {
    return Number(format, std::to_string((seconds + kMinute - 1) / kMinute)) + " min";
  }
  if (seconds < 2 * kDay)
    return Number(format, std::to_string((seconds + kHour / 2) / kHour)) + " h";
  return Number(format, std::to_string((seconds + kDay / 2) / kDay)) + " d";
}

std::string RemainingColumnText(const ShareState& share, std::int64_t now,
                                const LocaleFormat& format) {
  if (share.withdrawn) return "ended";
  std::string text;
  const std::uint64_t limit = share.oneShot ? 1 : share.limits.maxDownloads;
  if (limit != 0) {
    const std::uint64_t left = share.completed < limit ? limit - share.completed : 0;
    text = Number(format, std::to_string(left)) + " of " + Number(format, std::to_string(limit)) +
           " left";
  }
  if (share.limits.until != 0) {
    if (!text.empty()) text += ", ";
    // Past its time but not yet asked for: withdrawn at the next request.
    text += share.limits.until <= now ? std::string("time is up")
                                      : "ends in " + DurationText(share.limits.until - now, format);
  }
  return text;
}

std::string ProgressColumnText(std::int64_t sent, std::int64_t total, double bytesPerSecond,
                               int answers, const LocaleFormat& format) {
  if (answers <= 0 || total <= 0) return std::string();
  // Whole percents, rounded down: 100 % only once every byte went out.
  const std::int64_t percent = sent >= total
                                   ? 100
                                   : static_cast<std::int64_t>(static_cast<double>(sent) * 100.0 /
                                                               static_cast<double>(total));
  std::string text = Number(format, std::to_string(percent)) + " %";
  if (bytesPerSecond >= 1.0) {
    const SizeParts rate = SplitByteSize(static_cast<std::int64_t>(bytesPerSecond));
    text += " at " + Number(format, rate.number) + " " + rate.unit + "/s";
  }
  if (answers > 1) text += " (" + std::to_string(answers) + " connections)";
  return text;
}

double ProgressRates::Sample(const void* share, std::int64_t sent, double seconds) {
  auto [it, added] = entries_.try_emplace(share, Entry{sent, seconds, 0.0, true});
  Entry& entry = it->second;
  entry.sampled = true;
  if (added) return 0.0;
  const double elapsed = seconds - entry.seconds;
  if (elapsed <= 0) return entry.rate;
  if (sent >= entry.sent) {
    const double now = static_cast<double>(sent - entry.sent) / elapsed;
    // Half the weight on the newest interval: it follows a change within a few samples and
    // does not jump with each one.
    entry.rate = entry.rate == 0.0 ? now : (entry.rate + now) / 2.0;
  }
  entry.sent = sent;
  entry.seconds = seconds;
  return entry.rate;
}

void ProgressRates::ForgetUnsampled() {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!it->second.sampled) {
      it = entries_.erase(it);
    } else {
      it->second.sampled = false;
      ++it;
    }
  }
}

}  // namespace qc::ui
