#include "platform/codepage.h"

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

std::string AnsiToUtf8(const std::string& ansi) {
  int wide = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  if (wide <= 0) return std::string();
  std::vector<wchar_t> text(static_cast<std::size_t>(wide));
  MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, text.data(), wide);
  int utf8 = WideCharToMultiByte(CP_UTF8, 0, text.data(), -1, nullptr, 0, nullptr, nullptr);
  if (utf8 <= 0) return std::string();
  std::vector<char> out(static_cast<std::size_t>(utf8));
  WideCharToMultiByte(CP_UTF8, 0, text.data(), -1, out.data(), utf8, nullptr, nullptr);
  return std::string(out.data());
}

}  // namespace qc::platform
