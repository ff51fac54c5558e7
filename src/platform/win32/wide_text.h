// Conversions between the wide (UTF-16) text of the system's W calls and the 8-bit texts
// of the portable code. Backend-internal.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_windows.h"

namespace qc::platform {

// `text` in code page `codePage` (CP_ACP, CP_UTF8). With `strict`, none for bytes that are
// not valid in it; otherwise they become U+FFFD.
inline std::optional<std::wstring> WideFrom(std::string_view text, UINT codePage,
                                            bool strict = true) {
  if (text.empty()) return std::wstring();
  const DWORD flags = strict && codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int length =
      MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), wide.data(),
                      length);
  return wide;
}

// UTF-8 of `text`. With `strict`, none for text that UTF-8 cannot write (a lone surrogate,
// which NTFS names may hold); otherwise such a unit becomes U+FFFD.
inline std::optional<std::string> Utf8From(std::wstring_view text, bool strict = true) {
  if (text.empty()) return std::string();
  const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
  const int length = WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), out.data(),
                      length, nullptr, nullptr);
  return out;
}

}  // namespace qc::platform
