#include "ui/panel_logic.h"

#include <climits>

#include "shares/share_registry.h"

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

}  // namespace qc::ui
