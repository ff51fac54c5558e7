// What one run of the control panel thread shares between its two windows. It lives on
// the panel thread's stack from the thread's start to its end; the window objects reach it
// through their GWLP_USERDATA pointer, so no window state is a process global.
#pragma once
#include "platform/os_windows.h"

#include <span>
#include <string>

#include "app/application.h"
#include "platform/codepage.h"
#include "ui/panel_logic.h"
#include "ui/ui_texts.h"

namespace qc::ui {

class ControlPanel;
class LimitsWindow;

struct UiSession {
  explicit UiSession(Application& application)
      : app(application), instance(GetModuleHandleA(nullptr)) {}
  UiSession(const UiSession&) = delete;
  UiSession& operator=(const UiSession&) = delete;

  Application& app;
  HINSTANCE instance;
  HFONT font = nullptr;           // every child control's font but the list view's
  HWND mainWindow = nullptr;      // set once the panel's creation has returned
  HWND newShareWindow = nullptr;  // set once the New share window's creation has returned
  ControlPanel* panel = nullptr;  // the panel's object, for rows added from New share
  HWND limitsWindow = nullptr;    // the Share limits window, made with New share
  LimitsWindow* limits = nullptr;
};

// The user's locale's way of writing numbers (GetNumberFormat, with the decimals the
// number has) and moments (the short date and the time without seconds).
LocaleFormat UserLocaleFormat();

// Creates the controls of `table` as children of `parent`, in table order, each with its
// ID as menu parameter; every control but the list view gets the session's font.
void CreateControls(const UiSession& session, HWND parent, std::span<const ControlRow> table);

// Reads a window's whole text (length first, then the text into a buffer one byte longer).
std::string WindowText(HWND window);
// A path typed or pasted into an edit, read in UTF-16 (the edit keeps characters the code
// page lacks, which its ANSI text has already lost), as the ANSI path that reaches its
// file (platform::AnsiPathOf).
platform::AnsiPath PathInEdit(HWND edit);

// Whether `folder` may be shared: at once, or after a Yes to the question (owned by
// `owner`, "No" the default) that a drive's root or the folder holding the user's profile
// asks.
bool ConfirmWholeFolder(HWND owner, const std::string& folder);

// The window procedure of both classes, bridging a window to its object: the object
// arrives as WM_NCCREATE's creation parameter, is kept in GWLP_USERDATA and is let go at
// WM_NCDESTROY. `Window` befriends this function for its `window_` and `HandleMessage`.
template <typename Window>
LRESULT CALLBACK RouteToWindowObject(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* self = nullptr;
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    self = static_cast<Window*>(create->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<Window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  const LRESULT result = self->HandleMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
  }
  return result;
}

}  // namespace qc::ui
