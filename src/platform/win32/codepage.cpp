#include "platform/codepage.h"

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

}  // namespace

std::string Utf8ToAnsi(const std::string& utf8) { return Convert(utf8, CP_UTF8, CP_ACP); }

std::string AnsiToUtf8(const std::string& ansi) { return Convert(ansi, CP_ACP, CP_UTF8); }

}  // namespace qc::platform
