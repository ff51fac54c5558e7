#include "platform/codepage.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/os_windows.h"

namespace qc::platform {

namespace {

// Through UTF-16, as Windows converts between code pages; empty when either step fails.
std::string Convert(const std::string& text, UINT from, UINT to) {
  int wide = MultiByteToWideChar(from, 0, text.c_str(), -1, nullptr, 0);
  if (wide <= 0) return std::string();
  std::vector<wchar_t> utf16(static_cast<std::size_t>(wide));
  MultiByteToWideChar(from, 0, text.c_str(), -1, utf16.data(), wide);
  int bytes = WideCharToMultiByte(to, 0, utf16.data(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::vector<char> out(static_cast<std::size_t>(bytes));
  WideCharToMultiByte(to, 0, utf16.data(), -1, out.data(), bytes, nullptr, nullptr);
  return std::string(out.data());
}

std::wstring ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
  return wide;
}

// `flags` and `usedDefault` as WideCharToMultiByte takes them.
std::string FromWide(UINT codePage, std::wstring_view wide, DWORD flags, BOOL* usedDefault) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), length, nullptr,
                      usedDefault);
  return text;
}

// The ANSI text of `wide` when the code page holds every character of it, else none.
std::optional<std::string> ExactAnsi(std::wstring_view wide) {
  // With UTF-8 as the ANSI code page (a Windows option) every character converts, and that
  // code page takes neither the flag nor the default-character report.
  if (GetACP() == CP_UTF8) return FromWide(CP_UTF8, wide, 0, nullptr);
  BOOL usedDefault = FALSE;
  std::string ansi = FromWide(CP_ACP, wide, WC_NO_BEST_FIT_CHARS, &usedDefault);
  if (usedDefault) return std::nullopt;
  // Read back to the same characters, or the conversion changed one somewhere (the
  // system's tables also map a few characters the flag does not cover).
  if (ToWide(CP_ACP, ansi) != wide) return std::nullopt;
  return ansi;
}

}  // namespace

std::string Utf8ToAnsi(const std::string& utf8) { return Convert(utf8, CP_UTF8, CP_ACP); }

std::string WideToUtf8(std::wstring_view wide) { return FromWide(CP_UTF8, wide, 0, nullptr); }

std::wstring AnsiToWide(std::string_view ansi) { return ToWide(CP_ACP, ansi); }

std::string AnsiToUtf8(const std::string& ansi) {
  return FromWide(CP_UTF8, ToWide(CP_ACP, ansi), 0, nullptr);
}

AnsiPath AnsiPathOf(const std::string& utf8Path) {
  const std::wstring wide = ToWide(CP_UTF8, utf8Path);
  if (std::optional<std::string> exact = ExactAnsi(wide)) {
    return {AnsiPathKind::Exact, std::move(*exact)};
  }
  // Only a file that exists has a short name; a volume without 8.3 names gives the long
  // name back, which then fails the same test.
  const DWORD needed = GetShortPathNameW(wide.c_str(), nullptr, 0);
  if (needed > 0) {
    std::wstring shortName(needed, L'\0');
    const DWORD length = GetShortPathNameW(wide.c_str(), shortName.data(), needed);
    if (length > 0 && length < needed) {
      shortName.resize(length);
      if (std::optional<std::string> exact = ExactAnsi(shortName)) {
        return {AnsiPathKind::ShortName, std::move(*exact)};
      }
    }
  }
  return {AnsiPathKind::Unreachable, FromWide(CP_ACP, wide, 0, nullptr)};
}

std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8) {
  if (utf8.empty()) return std::string();
  // Callers hand over a request's path: far below what an int counts. Text that is not
  // valid UTF-8 names no file; ToWide would have put a replacement character in.
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                          nullptr, 0) <= 0) {
    return std::nullopt;
  }
  return ExactAnsi(ToWide(CP_UTF8, utf8));
}

}  // namespace qc::platform
