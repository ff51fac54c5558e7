// Reads message boxes for the end-to-end tests: waits for a dialog window (class
// "#32770") of any process on the desktop, prints one line per dialog, presses its first
// button, and ends after `count` dialogs or when the time is up.
//
//   dialog_reader.exe [count] [timeout-ms]
//
// Line: caption <TAB> text <TAB> icon <TAB> buttons, with line feeds in the text written
// as \n. icon is error, warning, information, question, none or other.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/os_windows.h"

namespace {

struct Dialog {
  HWND window = nullptr;
  std::string text;
  std::string icon = "none";
  std::vector<std::pair<HWND, std::string>> buttons;
};

std::string TextOf(HWND window) {
  char buffer[8192];
  int n = GetWindowTextA(window, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

// Icon handles are not shared between processes, so the box's icon is told by what the
// screen shows where the icon control sits: each standard icon is drawn here on black and
// on white, and where both agree (the icon's opaque pixels) the screen must match.
struct IconPicture {
  std::vector<COLORREF> onBlack, onWhite;
};

IconPicture Draw(HICON icon) {
  IconPicture picture;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 32, 32);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all = {0, 0, 32, 32};
  for (int pass = 0; pass < 2; ++pass) {
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(pass == 0 ? BLACK_BRUSH : WHITE_BRUSH)));
    DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
    auto& out = pass == 0 ? picture.onBlack : picture.onWhite;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) out.push_back(GetPixel(dc, x, y));
    }
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return picture;
}

std::string IconName(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  std::vector<COLORREF> shown;
  HDC screen = GetDC(nullptr);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) shown.push_back(GetPixel(screen, r.left + x, r.top + y));
  }
  ReleaseDC(nullptr, screen);
  struct Known {
    LPCSTR id;
    const char* name;
  };
  const Known known[] = {{IDI_HAND, "error"},
                         {IDI_EXCLAMATION, "warning"},
                         {IDI_ASTERISK, "information"},
                         {IDI_QUESTION, "question"}};
  for (const Known& k : known) {
    IconPicture picture = Draw(LoadIconA(nullptr, k.id));
    int compared = 0, matched = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      if (picture.onBlack[i] != picture.onWhite[i]) continue;  // see-through pixel
      ++compared;
      if (picture.onBlack[i] == shown[i]) ++matched;
    }
    if (compared > 0 && matched * 10 >= compared * 9) return k.name;
  }
  return "other";
}

BOOL CALLBACK ReadChild(HWND child, LPARAM param) {
  Dialog& dialog = *reinterpret_cast<Dialog*>(param);
  char cls[64] = {0};
  GetClassNameA(child, cls, sizeof cls);
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if (lstrcmpiA(cls, "Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      if (IsWindowVisible(child)) dialog.icon = IconName(child);
    } else if (GetDlgCtrlID(child) == 0xFFFF) {
      dialog.text = TextOf(child);
    }
  } else if (lstrcmpiA(cls, "Button") == 0 && IsWindowVisible(child)) {
    dialog.buttons.emplace_back(child, TextOf(child));
  }
  return TRUE;
}

HWND FindDialog() {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, "#32770", nullptr)) != nullptr) {
    if (IsWindowVisible(window)) return window;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 1;
  DWORD timeout = argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : 10000;
  DWORD start = GetTickCount();
  int seen = 0;
  while (seen < count && GetTickCount() - start < timeout) {
    HWND window = FindDialog();
    if (window == nullptr) {
      Sleep(50);
      continue;
    }
    Sleep(50);  // let the box finish laying itself out
    Dialog dialog;
    dialog.window = window;
    EnumChildWindows(window, ReadChild, reinterpret_cast<LPARAM>(&dialog));
    std::string names;
    for (const auto& button : dialog.buttons) {
      if (!names.empty()) names += ",";
      names += button.second;
    }
    std::printf("%s\t%s\t%s\t%s\n", Escape(TextOf(window)).c_str(), Escape(dialog.text).c_str(),
                dialog.icon.c_str(), names.c_str());
    std::fflush(stdout);
    // The button's command goes to the box itself: a click (BM_CLICK) is lost when the box
    // is not the active window. Posted, not sent, so a busy box never hangs the reader.
    if (!dialog.buttons.empty()) {
      HWND button = dialog.buttons.front().first;
      PostMessageA(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                   reinterpret_cast<LPARAM>(button));
    } else {
      PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
    // Wait for it to go before looking for the next one.
    for (int i = 0; i < 100 && IsWindow(window) && IsWindowVisible(window); ++i) Sleep(20);
    ++seen;
  }
  return seen == count ? 0 : 2;
}
