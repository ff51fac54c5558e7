#include "ui/new_share_window.h"

#include <commdlg.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/directory.h"
#include "app/messages.h"
#include "shares/share_file.h"
#include "ui/control_panel.h"
#include "ui/panel_logic.h"

namespace qc::ui {

// The full structure, not the older short form the system also accepts.
static_assert(sizeof(OPENFILENAMEA) == (sizeof(void*) == 8 ? 152 : 88));

LRESULT NewShareWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls(session_, window_, kNewShareControls);
      physicalEdit_ = GetDlgItem(window_, kIdPhysicalFile);
      virtualEdit_ = GetDlgItem(window_, kIdVirtualFile);
      return 0;
    case WM_CLOSE:
      // Hidden, not destroyed: the panel shows it again at the next "Add".
      BackToPanel();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

void NewShareWindow::OnCommand(int id) {
  switch (id) {
    case kIdCancel:
      BackToPanel();
      break;
    case kIdBrowse:
      BrowseForFile();
      break;
    case kIdOk:
      ConfirmNewShare();
      break;
  }
}

void NewShareWindow::BackToPanel() {
  ShowWindow(window_, SW_HIDE);
  ShowWindow(session_.mainWindow, SW_SHOW);
}

void NewShareWindow::BrowseForFile() {
  char file[kOpenFileBufferSize] = {};
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof(OPENFILENAMEA);
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = kOpenFileFilter;
  dialog.lpstrFile = file;
  dialog.nMaxFile = kOpenFileBufferSize;
  dialog.Flags = kOpenFileFlags;
  if (GetOpenFileNameA(&dialog) != 0) {
    SetWindowTextA(physicalEdit_, file);
    if (std::optional<std::string> completed =
            CompleteVirtualFile(WindowText(virtualEdit_), file)) {
      SetWindowTextA(virtualEdit_, completed->c_str());
    }
  }
  // The dialog may have moved the current directory, and both ".cfg" files are opened by
  // bare name in it.
  SetCurrentDirectoryA(app_.startupDirectory.c_str());
}

void NewShareWindow::ConfirmNewShare() {
  std::string physical = WindowText(physicalEdit_);
  if (physical.empty()) {
    Show(kEnterPhysicalPathMessage);
    return;
  }
  // As with an empty path, the window stays for a correction.
  if (platform::KindOfPath(physical) == platform::PathKind::Other) {
    messages::Show(messages::kNotAFile, physical);
    return;
  }
  std::string virtualPath = WindowText(virtualEdit_);
  if (virtualPath.empty()) virtualPath.append("/").append(physical, FileNameOf(physical));
  // Shares added here are never one-shot, whatever the option for command-line shares says.
  ShareFileWrite written = ShareFileWrite::Written;
  {
    // List and file change in one step: a withdrawal's rewrite in between would store the
    // share, and the append would store it a second time.
    std::lock_guard guard(app_.shares.Lock());
    SharePtr share = app_.shares.AppendShare(std::move(physical), virtualPath, 0);
    app_.lastShared.Set(share);
    // After a Delete the whole file is rewritten at "Close", this share with it.
    if (!app_.ui.sharesDirty.load()) written = AppendShareRecord(*share);
  }
  if (session_.panel != nullptr) session_.panel->AddShareRow(virtualPath);
  if (written == ShareFileWrite::Failed) messages::Show(messages::kCantWriteShareFile);
  BackToPanel();
}

}  // namespace qc::ui
