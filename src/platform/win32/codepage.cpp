#include "platform/codepage.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/os_windows.h"

namespace qc::platform {

std::string Utf8ToAnsi(const std::string& utf8) {
  int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (wide <= 0) return std::string();
  std::vector<wchar_t> text(static_cast<std::size_t>(wide));
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), wide);
  int ansi = WideCharToMultiByte(CP_ACP, 0, text.data(), -1, nullptr, 0, nullptr, nullptr);
  if (ansi <= 0) return std::string();
  std::vector<char> out(static_cast<std::size_t>(ansi));
  WideCharToMultiByte(CP_ACP, 0, text.data(), -1, out.data(), ansi, nullptr, nullptr);
  return std::string(out.data());
}

std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8) {
  if (utf8.empty()) return std::string();
  // Callers hand over a request's path: far below what an int counts.
  const int bytes = static_cast<int>(utf8.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), bytes, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), bytes, text.data(), wide) !=
      wide) {
    return std::nullopt;
  }
  // A UTF-8 code page holds every character (and the flags below are not allowed for it).
  if (GetACP() == CP_UTF8) return utf8;
  BOOL usedDefault = FALSE;
  const int ansi = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wide, nullptr, 0,
                                       nullptr, &usedDefault);
  if (ansi <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<std::size_t>(ansi), '\0');
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wide, out.data(), ansi,
                          nullptr, &usedDefault) != ansi ||
      usedDefault) {
    return std::nullopt;
  }
  // And back: only a conversion that returns the same characters is exact, whatever a
  // system's tables call a best fit.
  const int back = MultiByteToWideChar(CP_ACP, 0, out.data(), ansi, nullptr, 0);
  std::wstring again(static_cast<std::size_t>(back > 0 ? back : 0), L'\0');
  if (back != wide ||
      MultiByteToWideChar(CP_ACP, 0, out.data(), ansi, again.data(), back) != back ||
      again != text) {
    return std::nullopt;
  }
  return out;
}

}  // namespace qc::platform
