#include "ui/limits_window.h"

#include <ctime>
#include <mutex>

#include "app/server.h"
#include "shares/share_limits.h"
#include "ui/control_panel.h"

namespace qc::ui {

bool ReadLimitFields(const Application& app, HWND window, std::uint64_t completed,
                     ShareLimits& limits) {
  const TypedLimits typed = ReadTypedLimits(WindowText(GetDlgItem(window, kIdDownloadsLimit)),
                                            WindowText(GetDlgItem(window, kIdEndTime)),
                                            static_cast<std::int64_t>(std::time(nullptr)));
  const platform::Message* message = nullptr;
  int field = kIdEndTime;
  switch (typed.fault) {
    case LimitFault::None:
      if (typed.limits.maxDownloads != 0 && typed.limits.maxDownloads <= completed) {
        message = &kLimitBelowCountMessage;
        field = kIdDownloadsLimit;
      }
      break;
    case LimitFault::Downloads:
      message = &kLimitDownloadsMessage;
      field = kIdDownloadsLimit;
      break;
    case LimitFault::EndForm:
      message = &kLimitEndFormMessage;
      break;
    case LimitFault::EndUnwritable:
      message = &kLimitEndUnwritableMessage;
      break;
    case LimitFault::EndPassed:
      message = &kLimitEndPassedMessage;
      break;
  }
  if (message != nullptr) {
    Show(app.services.messages, *message);
    HWND edit = GetDlgItem(window, field);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    return false;
  }
  limits = typed.limits;
  return true;
}

LRESULT LimitsWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls(session_, window_, kLimitsControls);
      return 0;
    case WM_CLOSE:
      BackToPanel();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdLimitsCancel) BackToPanel();
      if (LOWORD(wParam) == kIdLimitsOk) Confirm();
      return 0;
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

void LimitsWindow::Edit(SharePtr share) {
  share_ = std::move(share);
  if (!share_ || window_ == nullptr) return;
  const ShareLimits limits = share_->Limits();
  SetDlgItemTextA(window_, kIdLimitsShare, share_->virtualPath.c_str());
  // A one-shot share keeps its flag, which is its limit of 1: the field shows it, fixed.
  HWND downloads = GetDlgItem(window_, kIdDownloadsLimit);
  const std::uint64_t shown = share_->IsOneShot() ? 1 : limits.maxDownloads;
  SetWindowTextA(downloads, shown != 0 ? std::to_string(shown).c_str() : "");
  EnableWindow(downloads, share_->IsOneShot() ? FALSE : TRUE);
  SetDlgItemTextA(window_, kIdEndTime,
                  limits.until != 0 ? LocalDateTimeText(limits.until).c_str() : "");
  ShowWindow(window_, SW_SHOWNORMAL);
  ShowWindow(session_.mainWindow, SW_HIDE);
}

void LimitsWindow::BackToPanel() {
  share_.reset();
  ShowWindow(window_, SW_HIDE);
  ShowWindow(session_.mainWindow, SW_SHOW);
}

void LimitsWindow::Confirm() {
  if (!share_) {
    BackToPanel();
    return;
  }
  ShareLimits limits;
  if (!ReadLimitFields(app_, window_, share_->Tally().completed, limits)) return;
  // The one-shot flag stays what limits the share to one download.
  if (share_->IsOneShot()) limits.maxDownloads = 0;
  {
    // Under the share lock, as a share request sets its limits: no answer judges the share
    // by half of them.
    std::lock_guard guard(app_.shares.Lock());
    share_->SetLimits(limits);
  }
  // A failure is told by the store itself (aside): the limits hold until the server stops.
  StoreDownloadCounts(app_);
  if (session_.panel != nullptr) session_.panel->RefreshShareColumns();
  BackToPanel();
}

}  // namespace qc::ui
