// Prints the clipboard's CF_TEXT bytes in hex, up to and without the terminator, for the
// end-to-end tests; "none" when the clipboard holds no text. With the argument "unicode"
// it prints CF_UNICODETEXT as UTF-8 instead (hex too): what a browser reads when the user
// pastes, which the system converts from CF_TEXT by the ANSI code page.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/os_windows.h"

namespace {
void PrintHex(const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    std::printf("%02x", static_cast<unsigned char>(bytes[i]));
  std::printf("\n");
}
}  // namespace

int main(int argc, char** argv) {
  const bool unicode = argc > 1 && std::strcmp(argv[1], "unicode") == 0;
  for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(20);
  HANDLE data = GetClipboardData(unicode ? CF_UNICODETEXT : CF_TEXT);
  if (data == nullptr) {
    std::printf("none\n");
    CloseClipboard();
    return 1;
  }
  if (unicode) {
    const auto* text = static_cast<const wchar_t*>(GlobalLock(data));
    const int length = text != nullptr ? static_cast<int>(std::wcslen(text)) : 0;
    std::string utf8(length * 4 + 1, '\0');
    const int written = length > 0
                            ? WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(),
                                                  static_cast<int>(utf8.size()), nullptr, nullptr)
                            : 0;
    PrintHex(utf8.data(), static_cast<std::size_t>(written));
  } else {
    const char* text = static_cast<const char*>(GlobalLock(data));
    PrintHex(text, text != nullptr ? std::strlen(text) : 0);
  }
  GlobalUnlock(data);
  CloseClipboard();
  return 0;
}
