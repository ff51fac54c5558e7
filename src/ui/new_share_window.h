// The New share window: one local file, typed or chosen in the open-file dialog, or a
// folder typed or pasted (shared as one archive), and the virtual path to share it under.
// Hidden and shown again, never destroyed while the panel is open.
#pragma once
#include "platform/os_windows.h"

#include <string>

#include "ui/ui_session.h"

namespace qc::ui {

class NewShareWindow {
 public:
  explicit NewShareWindow(UiSession& session) : session_(session), app_(session.app) {}
  NewShareWindow(const NewShareWindow&) = delete;
  NewShareWindow& operator=(const NewShareWindow&) = delete;

 private:
  template <typename Window>
  friend LRESULT CALLBACK RouteToWindowObject(HWND, UINT, WPARAM, LPARAM);

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id);
  void BackToPanel();

  void BrowseForFile();
  void ConfirmNewShare();
  // Whether `folder` may be shared: at once, or after a Yes to the question a drive's root
  // or the folder holding the user's profile asks.
  bool ConfirmWholeFolder(const std::string& folder);

  UiSession& session_;
  Application& app_;
  HWND window_ = nullptr;
  HWND physicalEdit_ = nullptr;
  HWND virtualEdit_ = nullptr;
};

}  // namespace qc::ui
