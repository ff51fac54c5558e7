// The Share limits window: "Edit limits" of the share selected in the panel, its download
// limit and its end time, in the fields New share has for them. Hidden and shown again,
// never destroyed while the panel is open.
#pragma once
#include "platform/os_windows.h"

#include "shares/share_registry.h"
#include "ui/ui_session.h"

namespace qc::ui {

// The limits typed into a window's two limit fields (kIdDownloadsLimit, kIdEndTime), by the
// native command's rules; a limit must be above `completed`, the downloads the share had.
// False, with the user told why and the field focused, when a field breaks a rule.
bool ReadLimitFields(const Application& app, HWND window, std::uint64_t completed,
                     ShareLimits& limits);

class LimitsWindow {
 public:
  explicit LimitsWindow(UiSession& session) : session_(session), app_(session.app) {}
  LimitsWindow(const LimitsWindow&) = delete;
  LimitsWindow& operator=(const LimitsWindow&) = delete;

  // Shows `share`'s limits for editing, in place of the panel.
  void Edit(SharePtr share);

 private:
  template <typename Window>
  friend LRESULT CALLBACK RouteToWindowObject(HWND, UINT, WPARAM, LPARAM);

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void BackToPanel();
  void Confirm();

  UiSession& session_;
  Application& app_;
  HWND window_ = nullptr;
  SharePtr share_;
};

}  // namespace qc::ui
