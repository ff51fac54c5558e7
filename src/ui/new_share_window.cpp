#include "ui/new_share_window.h"

#include <commdlg.h>

#include <optional>
#include <string>
#include <utility>

#include "app/messages.h"
#include "platform/codepage.h"
#include "platform/directory.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "app/server.h"
#include "ui/control_panel.h"
#include "ui/limits_window.h"
#include "ui/panel_logic.h"

namespace qc::ui {

// The full structure, not the older short form the system also accepts.
static_assert(sizeof(OPENFILENAMEW) == (sizeof(void*) == 8 ? 152 : 88));

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
  // The wide dialog: the ANSI one hands back a name the code page cannot hold with "?" in
  // place of what it lacks, a path that names no file.
  wchar_t file[kOpenFileBufferSize] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(OPENFILENAMEW);
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = kOpenFileFilter;
  dialog.lpstrFile = file;
  dialog.nMaxFile = kOpenFileBufferSize;
  dialog.Flags = kOpenFileFlags;
  if (GetOpenFileNameW(&dialog) != 0) {
    const platform::AnsiPath chosen = platform::AnsiPathOf(platform::WideToUtf8(file));
    if (chosen.kind == platform::AnsiPathKind::Unreachable) {
      // The edits keep their texts, as after a cancelled dialog.
      messages::Show(app_.services.messages, messages::kNameOutsideCodePage, chosen.path);
    } else {
      SetWindowTextA(physicalEdit_, chosen.path.c_str());
      if (std::optional<std::string> completed =
              CompleteVirtualFile(WindowText(virtualEdit_), chosen.path)) {
        SetWindowTextA(virtualEdit_, completed->c_str());
      }
    }
  }
}

void NewShareWindow::ConfirmNewShare() {
  platform::AnsiPath typed = PathInEdit(physicalEdit_);
  std::string physical = std::move(typed.path);
  if (physical.empty()) {
    Show(app_.services.messages, kEnterPhysicalPathMessage);
    return;
  }
  // As with an empty path, the window stays for a correction.
  if (typed.kind == platform::AnsiPathKind::Unreachable) {
    messages::Show(app_.services.messages, messages::kNameOutsideCodePage, physical);
    return;
  }
  if (HoldsControlCharacter(physical)) {
    messages::Show(app_.services.messages, messages::kControlCharacterInPath,
                   messages::Printable(physical));
    return;
  }
  // A folder goes out as one archive, "name.zip"; a device or a pipe is refused.
  const platform::PathKind kind = platform::KindOfPath(physical);
  const bool folder = kind == platform::PathKind::Folder;
  if (!folder && !IsFileOrMissing(physical)) {
    messages::Show(app_.services.messages, messages::kNotAFile, physical);
    return;
  }
  // Checked before anything is added: a refused limit leaves the window for a correction.
  ShareLimits limits;
  if (!ReadLimitFields(app_, window_, 0, limits)) return;
  if (folder) {
    physical = WithoutTrailingSeparators(std::move(physical));
    if (!ConfirmWholeFolder(physical)) return;
  }
  std::string virtualPath = WindowText(virtualEdit_);
  const VirtualPathOrigin origin =
      virtualPath.empty() ? VirtualPathOrigin::Generated : VirtualPathOrigin::Typed;
  if (virtualPath.empty()) {
    // As for a file, "/" and the name, not the default folder; a folder's is its archive's.
    const std::optional<std::string> archive =
        folder ? MakeFolderVirtualPath(ServerSettings{}, physical) : std::nullopt;
    if (archive) {
      virtualPath = *archive;
    } else {
      virtualPath.append("/").append(physical, FileNameOf(physical));
      if (folder) virtualPath.append(".zip");
    }
  }
  // Shares added here are never one-shot, whatever the option for command-line shares says.
  // After a Delete the whole file is rewritten at "Close", this share with it.
  AddedShare added;
  const bool fresh = [&] {
    // Under the share lock, as a share request sets its limits: no request finds the new
    // share without them.
    std::lock_guard guard(app_.shares.Lock());
    added = AddShare(
        app_.storedFiles, app_.shares, std::move(physical), virtualPath, 0, origin,
        app_.ui.sharesDirty.load() ? ShareStoring::LeftToRewrite : ShareStoring::AppendNow);
    const bool isNew =
        added.outcome == ShareAddition::Added || added.outcome == ShareAddition::Renamed;
    if (isNew && limits.Any()) added.share->SetLimits(limits);
    return isNew;
  }();
  // A failure is told by the store itself: the limits hold until the server stops.
  if (fresh && limits.Any()) StoreDownloadCounts(app_);
  if (added.outcome == ShareAddition::PathTaken) {
    messages::Show(app_.services.messages, kVirtualPathTakenMessage, virtualPath);
    return;
  }
  if (added.share) app_.lastShared.Set(added.share);
  if (session_.panel != nullptr) session_.panel->ShowAddedShare(added);
  BackToPanel();
}

bool NewShareWindow::ConfirmWholeFolder(const std::string& folder) {
  const platform::Message* question = nullptr;
  switch (FolderShareRiskOfPath(folder)) {
    case FolderShareRisk::DriveRoot:
      question = &kConfirmDriveRootMessage;
      break;
    case FolderShareRisk::WholeProfile:
      question = &kConfirmProfileMessage;
      break;
    case FolderShareRisk::None:
      return true;
  }
  const std::string text = std::string(question->text) + "\n\n" + folder;
  const std::string caption(question->caption);
  // "No" first in line: a hurried Enter shares nothing.
  return MessageBoxA(window_, text.c_str(), caption.c_str(),
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace qc::ui
