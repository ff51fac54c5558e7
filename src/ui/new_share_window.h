// The New share window: one local file, typed or chosen in the open-file dialog, or a
// folder typed, pasted or chosen (shared as one archive), and the virtual path to share it under.
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
  // "Folder...": the folder dialog; the chosen folder fills the edits as a typed one
  // would be shared ("name.zip").
  void BrowseForFolder();
  void ConfirmNewShare();

  UiSession& session_;
  Application& app_;
  HWND window_ = nullptr;
  HWND physicalEdit_ = nullptr;
  HWND virtualEdit_ = nullptr;
  // The virtual-file edit's text before and after the folder dialog last filled it in.
  struct PickedName {
    std::string before;
    std::string filled;
  };
  PickedName picked_;
};

}  // namespace qc::ui
