// Prints the clipboard's CF_TEXT bytes in hex, up to and without the terminator, for the
// end-to-end tests; "none" when the clipboard holds no text.
#include <cstdio>
#include <cstring>

#include "platform/os_windows.h"

int main() {
  for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(20);
  HANDLE data = GetClipboardData(CF_TEXT);
  if (data == nullptr) {
    std::printf("none\n");
    CloseClipboard();
    return 1;
  }
  const char* text = static_cast<const char*>(GlobalLock(data));
  std::size_t length = text != nullptr ? std::strlen(text) : 0;
  for (std::size_t i = 0; i < length; ++i) std::printf("%02x", static_cast<unsigned char>(text[i]));
  std::printf("\n");
  GlobalUnlock(data);
  CloseClipboard();
  return 0;
}
