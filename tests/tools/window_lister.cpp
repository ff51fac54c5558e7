// Lists the visible top-level windows on the desktop, one "class <TAB> title" line each,
// for the end-to-end tests; with "close TITLE" it sends WM_CLOSE to the window of that
// title instead and reports whether one was found.
//
//   window_lister.exe
//   window_lister.exe close "Quillcast Control Panel"
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/os_windows.h"

namespace {
BOOL CALLBACK Print(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  char cls[256] = {0};
  char title[512] = {0};
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, title, sizeof title);
  std::printf("%s\t%s\n", cls, title);
  return TRUE;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "close") == 0) {
    HWND window = FindWindowA(nullptr, argv[2]);
    if (window == nullptr) return 1;
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 0;
  }
  EnumWindows(Print, 0);
  std::fflush(stdout);
  return 0;
}
