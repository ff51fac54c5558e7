#include "ui/new_share_window.h"

#include <commdlg.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/messages.h"
#include "platform/codepage.h"
#include "platform/directory.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "app/server.h"
#include "ui/control_panel.h"
#include "ui/limits_window.h"
#include "ui/panel_logic.h"

namespace qc::ui {

// The full structure, not the older short form the system also accepts.
static_assert(sizeof(OPENFILENAMEW) == (sizeof(void*) == 8 ? 152 : 88));

namespace {

// COM for this thread while a folder dialog is open; only a start that succeeded is ended.
class ComApartment {
 public:
  ComApartment()
      : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  // Single-threaded, as both folder dialogs want it; false when the thread had chosen
  // another model already.
  bool Usable() const { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

struct ComRelease {
  void operator()(IUnknown* object) const {
    if (object != nullptr) object->Release();
  }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, ComRelease>;

enum class FolderChoice { Chosen, Cancelled, Unavailable };

// The system's item dialog in its folder form (Vista and later).
FolderChoice ChooseWithItemDialog(HWND owner, std::wstring& folder) {
  IFileOpenDialog* created = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&created)))) {
    return FolderChoice::Unavailable;
  }
  const ComPtr<IFileOpenDialog> dialog(created);
  FILEOPENDIALOGOPTIONS options = 0;
  // Only folders with a path: a library or "This PC" has no path to share.
  if (FAILED(dialog->GetOptions(&options)) ||
      FAILED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM |
                                FOS_PATHMUSTEXIST))) {
    return FolderChoice::Unavailable;
  }
  dialog->SetTitle(kFolderDialogTitle);
  const HRESULT shown = dialog->Show(owner);
  if (shown == HRESULT_FROM_WIN32(ERROR_CANCELLED)) return FolderChoice::Cancelled;
  if (FAILED(shown)) return FolderChoice::Unavailable;
  IShellItem* result = nullptr;
  if (FAILED(dialog->GetResult(&result))) return FolderChoice::Cancelled;
  const ComPtr<IShellItem> item(result);
  PWSTR path = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) return FolderChoice::Cancelled;
  folder = path;
  CoTaskMemFree(path);
  return FolderChoice::Chosen;
}

// The older folder browser, where the item dialog cannot be made.
FolderChoice ChooseWithFolderBrowser(HWND owner, bool apartment, std::wstring& folder) {
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.lpszTitle = kFolderDialogTitle;
  // The resizable form with a path field needs COM on this thread.
  info.ulFlags = BIF_RETURNONLYFSDIRS | (apartment ? BIF_NEWDIALOGSTYLE | BIF_EDITBOX : 0);
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (chosen == nullptr) return FolderChoice::Cancelled;
  wchar_t path[MAX_PATH] = {};
  const bool named = SHGetPathFromIDListW(chosen, path) != FALSE;
  CoTaskMemFree(chosen);
  if (!named) return FolderChoice::Cancelled;
  folder = path;
  return FolderChoice::Chosen;
}

// The folder the user chose, or none after a Cancel.
std::optional<std::wstring> ChooseFolder(HWND owner, bool folderBrowserOnly) {
  const ComApartment apartment;
  std::wstring folder;
  FolderChoice choice = FolderChoice::Unavailable;
  if (apartment.Usable() && !folderBrowserOnly) choice = ChooseWithItemDialog(owner, folder);
  if (choice == FolderChoice::Unavailable) {
    choice = ChooseWithFolderBrowser(owner, apartment.Usable(), folder);
  }
  if (choice != FolderChoice::Chosen || folder.empty()) return std::nullopt;
  return folder;
}

}  // namespace

LRESULT NewShareWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls(session_, window_, kNewShareControls);
      physicalEdit_ = GetDlgItem(window_, kIdPhysicalFile);
      virtualEdit_ = GetDlgItem(window_, kIdVirtualFile);
      return 0;
    case WM_SHOWWINDOW:
      // "Add" shows the window emptied: a text filled in before is the user's from now on.
      if (wParam != FALSE) picked_ = {};
      return DefWindowProcA(window_, message, wParam, lParam);
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
    case kIdBrowseFolder:
      BrowseForFolder();
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
      // An archive's name the folder dialog filled in gives way to the file's.
      std::string current = WindowText(virtualEdit_);
      if (!picked_.filled.empty() && current == picked_.filled) current = picked_.before;
      picked_ = {};
      if (std::optional<std::string> completed = CompleteVirtualFile(current, chosen.path)) {
        SetWindowTextA(virtualEdit_, completed->c_str());
      }
    }
  }
}

void NewShareWindow::BrowseForFolder() {
  const std::optional<std::wstring> folder = ChooseFolder(window_, app_.panel.folderBrowserOnly);
  if (!folder) return;
  const platform::AnsiPath chosen = platform::AnsiPathOf(platform::WideToUtf8(*folder));
  if (chosen.kind == platform::AnsiPathKind::Unreachable) {
    messages::Show(app_.services.messages, messages::kNameOutsideCodePage, chosen.path);
    return;
  }
  SetWindowTextA(physicalEdit_, chosen.path.c_str());
  // A name this dialog filled in follows the next folder chosen; one the user typed stays.
  std::string current = WindowText(virtualEdit_);
  if (!picked_.filled.empty() && current == picked_.filled) current = picked_.before;
  if (std::optional<std::string> completed = CompleteVirtualFolder(current, chosen.path)) {
    SetWindowTextA(virtualEdit_, completed->c_str());
    picked_ = {std::move(current), std::move(*completed)};
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
    if (!ConfirmWholeFolder(window_, physical)) return;
  }
  std::string virtualPath = WindowText(virtualEdit_);
  // The archive's name the folder dialog filled in is numbered when taken, as an empty
  // edit's would be; the user did not choose it.
  const bool filledIn = folder && !picked_.filled.empty() && virtualPath == picked_.filled;
  const VirtualPathOrigin origin =
      virtualPath.empty() || filledIn ? VirtualPathOrigin::Generated : VirtualPathOrigin::Typed;
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

}  // namespace qc::ui
