#include "ui/panel_logic.h"

#include <climits>

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

}  // namespace qc::ui
