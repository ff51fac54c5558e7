// What one run of the control panel thread shares between its two windows. It lives on
// the panel thread's stack from the thread's start to its end; the window objects reach it
// through their GWLP_USERDATA pointer, so no window state is a process global.
#pragma once
#include "platform/os_windows.h"

#include <span>
#include <string>

#include "app/application.h"
#include "ui/ui_texts.h"

namespace qc::ui {

class ControlPanel;

struct UiSession {
  explicit UiSession(Application& application)
      : app(application), instance(GetModuleHandleA(nullptr)) {}
  UiSession(const UiSession&) = delete;
  UiSession& operator=(const UiSession&) = delete;

  Application& app;
  HINSTANCE instance;
  HFONT font = nullptr;            // every child control's font but the list view's
  HWND mainWindow = nullptr;       // set once the panel's creation has returned
  HWND newShareWindow = nullptr;   // set once the New share window's creation has returned
  ControlPanel* panel = nullptr;   // the panel's object, for rows added from New share
};

// Creates the controls of `table` as children of `parent`, in table order, each with its
// ID as menu parameter; every control but the list view gets the session's font.
void CreateControls(const UiSession& session, HWND parent, std::span<const ControlRow> table);

// Reads a window's whole text (length first, then the text into a buffer one byte longer).
std::string WindowText(HWND window);

}  // namespace qc::ui
