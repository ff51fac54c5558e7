// Works a top-level window of another process from the outside, for the screenshot script:
//   ui_poke click <window class> <control id>   presses a button (posted, returns at once)
//   ui_poke text <window class> <control id> <text>   sets a control's text
//   ui_poke key <window class> <control id> <virtual key>   a key press sent to a control
//                                (VK_HOME, 36, selects a list view's first row)
//   ui_poke scroll <window class> <control id> <pixels>   scrolls a list view sideways
//                                (its columns past the right edge into view)
//   ui_poke wait <window class>   waits up to ten seconds for a visible window of the class
//   ui_poke rightclick <x> <y>   a right click of the mouse at that point of the desktop
//                                (what a user does to open a notification icon's menu)
// Exit code 0 when the window (and control) was found, 1 otherwise.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <cstring>

namespace {

HWND FindVisible(const char* className) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    HWND window = FindWindowA(className, nullptr);
    if (window != nullptr && IsWindowVisible(window)) return window;
    Sleep(50);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "rightclick") == 0) {
    SetCursorPos(std::atoi(argv[2]), std::atoi(argv[3]));
    INPUT presses[2] = {};
    presses[0].type = INPUT_MOUSE;
    presses[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    presses[1].type = INPUT_MOUSE;
    presses[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    return SendInput(2, presses, sizeof(INPUT)) == 2 ? 0 : 1;
  }
  if (argc < 3) return 1;
  HWND window = FindVisible(argv[2]);
  if (window == nullptr) return 1;
  if (std::strcmp(argv[1], "wait") == 0) return 0;
  if (argc < 4) return 1;
  const int id = std::atoi(argv[3]);
  HWND control = GetDlgItem(window, id);
  if (control == nullptr) return 1;
  if (std::strcmp(argv[1], "click") == 0) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return 0;
  }
  if (std::strcmp(argv[1], "key") == 0 && argc >= 5) {
    // Sent, not posted: the control has handled the key (and told its parent) on return.
    const auto key = static_cast<WPARAM>(std::atoi(argv[4]));
    SendMessageA(control, WM_KEYDOWN, key, 1);
    SendMessageA(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
    return 0;
  }
  if (std::strcmp(argv[1], "scroll") == 0 && argc >= 5) {
    SendMessageA(control, LVM_SCROLL, static_cast<WPARAM>(std::atoi(argv[4])), 0);
    return 0;
  }
  if (std::strcmp(argv[1], "text") == 0 && argc >= 5) {
    SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
    return 0;
  }
  return 1;
}
