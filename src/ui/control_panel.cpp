#include "ui/control_panel.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

#include "app/messages.h"
#include "app/server.h"
#include "platform/codepage.h"
#include "platform/directory.h"
#include "shares/setting_rules.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "shares/share_limits.h"
#include "shares/share_url.h"
#include "shares/stored_bytes.h"
#include "ui/limits_window.h"
#include "ui/panel_logic.h"

namespace qc::ui {

namespace {

// Posted to the panel once for a burst of selection changes (selecting many rows sends one
// notification per row): the QR code is drawn once, for the selection they leave.
constexpr UINT kRefreshCodeMessage = WM_APP + 1;
constexpr UINT_PTR kColumnTimer = 1;

LVITEMA TextItem(int row, int subItem, const std::string& text) {
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = subItem;
  item.pszText = const_cast<char*>(text.c_str());
  item.cchTextMax = kItemTextBufferSize;
  return item;
}

// One settings text from an edit, cut to what the file can describe.
std::string EditSettingsText(HWND edit) {
  std::string text = WindowText(edit);
  if (text.size() > kMaxStoredText) text.resize(kMaxStoredText);
  return text;
}

}  // namespace

LRESULT ControlPanel::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_DROPFILES:
      AddDroppedFiles(reinterpret_cast<HDROP>(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == static_cast<UINT_PTR>(kIdShareList) &&
          header->code == LVN_ITEMCHANGED) {
        RefreshCodeSoon();
      }
      return 0;
    }
    case WM_TIMER:
      if (wParam == kColumnTimer) RefreshShareColumns();
      return 0;
    case kRefreshCodeMessage:
      codeRefreshPending_ = false;
      if (code_ && code_->IsShown()) code_->SetLink(LinkOfSelection());
      return 0;
    case WM_CLOSE:
      // The close box: the typed settings and a pending rewrite of "shared.cfg" are dropped.
      DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      KillTimer(window_, kColumnTimer);
      // The QR code window goes with the panel, on the thread that made it.
      code_.reset();
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

void ControlPanel::OnCreate() {
  CreateControls(session_, window_, kPanelControls);
  shareList_ = GetDlgItem(window_, kIdShareList);
  hostList_ = GetDlgItem(window_, kIdHostList);
  domainEdit_ = GetDlgItem(window_, kIdDomain);
  folderEdit_ = GetDlgItem(window_, kIdFolder);
  SetForegroundWindow(window_);
  DragAcceptFiles(window_, TRUE);
  FillHostCombo();
  locale_ = UserLocaleFormat();
  SetUpShareListView();
  FillPanelFromSettings();
  RefreshShareColumns();
  SetTimer(window_, kColumnTimer, kColumnRefreshMilliseconds, nullptr);
}

void ControlPanel::OnCommand(int id) {
  switch (id) {
    case kIdAbout:
      Show(app_.services.messages, kAboutMessage);
      break;
    case kIdClose:
      if (SavePanelSettings()) DestroyWindow(window_);
      break;
    case kIdAdd:
      ShowNewShareWindow();
      break;
    case kIdDelete:
      DeleteFocusedShare();
      break;
    case kIdCopyUrls:
      CopyUrlsOfSelectedRows();
      break;
    case kIdShowCode:
      if (!code_) {
        code_ = std::make_unique<LinkCodeWindow>(app_.services,
                                                 [this] { app_.lastShared.Set(codeShare_); });
      }
      code_->Show(LinkOfSelection());
      break;
    case kIdEditLimits:
      EditSelectedLimits();
      break;
  }
}

void ControlPanel::SetUpShareListView() {
  // Mask 0: the value replaces every extended style.
  SendMessageA(shareList_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, kShareListExStyle);
  for (int index = 0; index < static_cast<int>(std::size(kShareListColumns)); ++index) {
    LVCOLUMNA column{};
    column.mask = kColumnMask;
    column.cx = kShareListColumns[index].width;
    column.pszText = const_cast<char*>(kShareListColumns[index].text);
    SendMessageA(shareList_, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
  }
}

void ControlPanel::FillHostCombo() {
  FillHostList(
      app_.services.addresses,
      [this](const std::string& address) {
        SendMessageA(hostList_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(address.c_str()));
      },
      [this] { SendMessageA(hostList_, CB_SETCURSEL, 0, 0); });
}

void ControlPanel::FillPanelFromSettings() {
  const ServerSettings& settings = app_.settings;
  SetDlgItemTextA(window_, kIdPort, std::to_string(settings.port).c_str());
  if (!settings.domain.empty()) {
    SetWindowTextA(domainEdit_, settings.domain.c_str());
  }
  if (!settings.defaultFolder.empty()) {
    SetWindowTextA(folderEdit_, settings.defaultFolder.c_str());
  }
  if (settings.hostChoice > 0) {
    CheckRadioButton(window_, kIdUseIpAddress, kIdUseDomain, kIdUseIpAddress);
    // A choice past the list leaves the combo box without a selection; said explicitly,
    // since not every combo box implementation clears it for an index out of range.
    const LRESULT count = SendMessageA(hostList_, CB_GETCOUNT, 0, 0);
    const int index = settings.hostChoice - 1;
    SendMessageA(hostList_, CB_SETCURSEL,
                 index < count ? static_cast<WPARAM>(index) : static_cast<WPARAM>(-1), 0);
  } else {
    CheckRadioButton(window_, kIdUseIpAddress, kIdUseDomain, kIdUseDomain);
  }
  if ((settings.flags & kNewSharesOneShot) != 0) {
    CheckDlgButton(window_, kIdOneShotOption, BST_CHECKED);
  }
  if ((settings.flags & kCopyUrlAfterShare) != 0) {
    CheckDlgButton(window_, kIdCopyOption, BST_CHECKED);
  }
  FillShareRows();
}

void ControlPanel::FillShareRows() {
  SendMessageA(shareList_, LVM_DELETEALLITEMS, 0, 0);
  for (const SharePtr& share : app_.shares.Snapshot()) AddShareRow(share->virtualPath);
}

void ControlPanel::ShowAddedShare(const AddedShare& added) {
  switch (added.outcome) {
    case ShareAddition::Added:
    case ShareAddition::Renamed:
      // Rows are positions: after a withdrawn share left, every later row moved up.
      if (added.replacedWithdrawn) {
        FillShareRows();
      } else {
        AddShareRow(added.share->virtualPath);
      }
      break;
    case ShareAddition::AlreadyShared:
      messages::Show(app_.services.messages, kAlreadySharedMessage, added.share->virtualPath);
      break;
    case ShareAddition::PathTaken:
      break;
  }
  RefreshShareColumns();
  // The share stays listed even when the file does not take it.
  if (added.written == ShareFileWrite::Failed)
    messages::Show(app_.services.messages, messages::kCantWriteShareFile);
}

void ControlPanel::AddShareRow(const std::string& virtualPath) {
  const int row = static_cast<int>(SendMessageA(shareList_, LVM_GETITEMCOUNT, 0, 0));
  const ShareRowTexts texts = SplitVirtualPath(virtualPath);
  LVITEMA first = TextItem(row, 0, texts.file);
  SendMessageA(shareList_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&first));
  if (virtualPath.find('/') == std::string::npos) return;
  LVITEMA second = TextItem(row, 1, texts.folder);
  SendMessageA(shareList_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&second));
}

bool ControlPanel::TypedSettingsFollowTheRules(int port, const std::string& domain,
                                               const std::string& folder) {
  struct Rule {
    SettingFault fault;
    int field;
    const platform::Message& message;
  };
  const SettingFault domainFault = CheckDomain(domain);
  const Rule rules[] = {
      {CheckPort(port), kIdPort, kPortRuleMessage},
      {domainFault, kIdDomain,
       domainFault == SettingFault::DomainIPv6 ? kDomainIPv6Message : kDomainRuleMessage},
      {CheckFolder(folder), kIdFolder, kFolderRuleMessage},
  };
  for (const Rule& rule : rules) {
    if (rule.fault == SettingFault::None) continue;
    Show(app_.services.messages, rule.message);
    HWND field = GetDlgItem(window_, rule.field);
    SetFocus(field);
    SendMessageA(field, EM_SETSEL, 0, -1);
    return false;
  }
  return true;
}

bool ControlPanel::SavePanelSettings() {
  ServerSettings& settings = app_.settings;
  char portText[kPortBufferSize] = {};
  GetDlgItemTextA(window_, kIdPort, portText, kPortBufferSize);
  const int port = ParsePortText(portText);
  // Checked before anything else happens, so a refused Close changes nothing.
  if (!TypedSettingsFollowTheRules(port, EditSettingsText(domainEdit_),
                                   EditSettingsText(folderEdit_))) {
    return false;
  }
  // The port notice waits for a click: shown before the share lock is taken, so downloads
  // go on meanwhile. Only this thread changes the settings while the panel is open, so
  // the comparison needs no lock.
  if (port != static_cast<int>(settings.port)) Show(app_.services.messages, kPortChangedMessage);
  // A server stop that came while the notice was open ends the panel as the close box
  // does: nothing is saved.
  if (app_.ui.ending.load()) return true;

  // A failed rewrite's message is shown once the lock is released (declared first, so it
  // ends last).
  platform::HeldMessages held;
  // Held across both writes: lookups wait for a consistent state.
  std::unique_lock guard(app_.shares.Lock());
  settings.port = StoredPort(port);

  settings.domain = EditSettingsText(domainEdit_);
  settings.defaultFolder = EditSettingsText(folderEdit_);

  if (IsDlgButtonChecked(window_, kIdUseIpAddress) != 0) {
    const LRESULT selected = SendMessageA(hostList_, CB_GETCURSEL, 0, 0);
    settings.hostChoice = selected == CB_ERR ? 0 : static_cast<std::uint16_t>(selected + 1);
  } else {
    settings.hostChoice = 0;
    if (settings.domain.empty()) settings.domain = kDefaultDomain;
  }

  std::uint16_t flags = 0;
  if (IsDlgButtonChecked(window_, kIdOneShotOption) == BST_CHECKED) flags |= kNewSharesOneShot;
  if (IsDlgButtonChecked(window_, kIdCopyOption) == BST_CHECKED) flags |= kCopyUrlAfterShare;
  settings.flags = flags;

  SaveSettings(app_.storedFiles, settings);  // a failed save passes silently
  const bool deleted = app_.ui.sharesDirty.load();
  if (deleted) {
    if (RewriteShareFile(app_.storedFiles, app_.shares) == ShareFileWrite::Failed) {
      messages::Show(app_.services.messages, messages::kCantWriteShareFile);
    }
    app_.ui.sharesDirty.store(false);
  }
  guard.unlock();
  // The deleted shares' counts and limits leave downloads.cfg with them: a file shared
  // again later starts afresh. After the lock: the counts' writer takes its own lock first.
  if (deleted) StoreDownloadCounts(app_);
  return true;
}

SharePtr ControlPanel::SelectedShare() {
  const auto next = [this](int from, UINT flags) {
    return static_cast<int>(
        SendMessageA(shareList_, LVM_GETNEXTITEM, static_cast<WPARAM>(from), MAKELPARAM(flags, 0)));
  };
  int row = next(-1, LVNI_FOCUSED | LVNI_SELECTED);
  if (row == -1) row = next(-1, LVNI_SELECTED);
  return row == -1 ? nullptr : app_.shares.ShareAt(row);
}

std::string ControlPanel::LinkOfSelection() {
  codeShare_ = SelectedShare();
  if (!codeShare_) return std::string();
  return ComposeShareUrl(UrlHost(app_.settings, app_.services.addresses), app_.settings.port,
                         *codeShare_);
}

void ControlPanel::RefreshCodeSoon() {
  if (!code_ || codeRefreshPending_) return;
  codeRefreshPending_ = PostMessageA(window_, kRefreshCodeMessage, 0, 0) != FALSE;
}

void ControlPanel::DeleteFocusedShare() {
  const int row = static_cast<int>(SendMessageA(
      shareList_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_FOCUSED, 0)));
  if (row == -1) return;
  SharePtr share = app_.shares.ShareAt(row);
  SendMessageA(shareList_, LVM_DELETEITEM, row, 0);
  app_.shares.RemoveShare(share);
  app_.ui.sharesDirty.store(true);
  // The rows after it moved up: the selection may now stand for another share.
  RefreshCodeSoon();
}

void ControlPanel::AddDroppedFiles(HDROP drop) {
  // What a dropped name became before the share lock: a file or a folder to share, or a
  // name refused with the message kept for its turn, so the messages keep the drop's order.
  struct Dropped {
    std::string path;
    bool folder = false;
    const platform::Message* refusal = nullptr;  // told with the path; none: share it
    bool declined = false;  // "No" to the question a drive or the whole profile asks
  };
  std::vector<Dropped> dropped;
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT index = 0; index < count; ++index) {
    // Wide: the ANSI names have already lost what the code page cannot hold.
    const UINT length = DragQueryFileW(drop, index, nullptr, 0);
    std::wstring name(static_cast<std::size_t>(length) + 1, L'\0');
    const UINT copied = DragQueryFileW(drop, index, name.data(), length + 1);
    name.resize(copied);
    platform::AnsiPath ansi = platform::AnsiPathOf(platform::WideToUtf8(name));
    Dropped entry;
    entry.path = std::move(ansi.path);
    if (ansi.kind == platform::AnsiPathKind::Unreachable) {
      entry.refusal = &messages::kNameOutsideCodePage;
    } else if (platform::KindOfPath(entry.path) == platform::PathKind::Folder) {
      // A folder goes out as one archive, "name.zip", as from Send to.
      entry.folder = true;
      entry.path = WithoutTrailingSeparators(std::move(entry.path));
    } else if (!IsFileOrMissing(entry.path)) {
      entry.refusal = &messages::kNotAFile;
    }
    dropped.push_back(std::move(entry));
  }
  DragFinish(drop);
  // Asked before the share lock is taken: downloads go on while the question waits.
  for (Dropped& entry : dropped) {
    if (entry.folder && entry.refusal == nullptr) {
      entry.declined = !ConfirmWholeFolder(window_, entry.path);
      // A server stop that came while the question was open ends the panel: nothing is added.
      if (app_.ui.ending.load()) return;
    }
  }

  // The messages of the batch (a name without a folder, a failed write) are shown, in
  // order, after the lock is released.
  platform::HeldMessages held;
  // One batch under one hold of the lock; AppendShare takes it again inside.
  std::lock_guard guard(app_.shares.Lock());
  for (Dropped& entry : dropped) {
    // A "No" skips this folder alone: the user has said what was meant.
    if (entry.declined) continue;
    if (entry.refusal != nullptr) {
      messages::Show(app_.services.messages, *entry.refusal, entry.path);
      continue;
    }
    // Made from the folder saved last, not from what the folder edit shows now.
    std::optional<std::string> virtualPath = entry.folder
                                                 ? MakeFolderVirtualPath(app_.settings, entry.path)
                                                 : MakeVirtualPath(app_.settings, entry.path);
    if (!virtualPath) {
      messages::Show(app_.services.messages, messages::kIncorrectPhysicalPath);
      continue;
    }
    // Stored at once, whatever SharesDirty says.
    const AddedShare added = AddShare(app_.storedFiles, app_.shares, std::move(entry.path),
                                      std::move(*virtualPath), 0, VirtualPathOrigin::Generated);
    if (added.share) app_.lastShared.Set(added.share);
    ShowAddedShare(added);
  }
}

void ControlPanel::ShowNewShareWindow() {
  SetDlgItemTextA(session_.newShareWindow, kIdPhysicalFile, "");
  SetDlgItemTextA(session_.newShareWindow, kIdVirtualFile, "");
  // The defaults for new shares, filled in for the user to keep or change; the end time
  // on a whole minute, as the field's form reads best.
  const ShareLimits defaults = LimitsOfNewShare(app_);
  const std::int64_t end = defaults.until == 0 ? 0 : (defaults.until + 59) / 60 * 60;
  SetDlgItemTextA(session_.newShareWindow, kIdDownloadsLimit,
                  defaults.maxDownloads != 0 ? std::to_string(defaults.maxDownloads).c_str() : "");
  SetDlgItemTextA(session_.newShareWindow, kIdEndTime,
                  end != 0 ? LocalDateTimeText(end).c_str() : "");
  ShowWindow(session_.newShareWindow, SW_SHOWNORMAL);
  ShowWindow(window_, SW_HIDE);
}

void ControlPanel::SetCellText(int row, int column, const std::string& text) {
  char current[kItemTextBufferSize] = {};
  LVITEMA get{};
  get.iSubItem = column;
  get.pszText = current;
  get.cchTextMax = kItemTextBufferSize;
  SendMessageA(shareList_, LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(&get));
  if (text == current) return;
  LVITEMA set = TextItem(row, column, text);
  SendMessageA(shareList_, LVM_SETITEMTEXTA, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(&set));
}

void ControlPanel::RefreshShareColumns() {
  const std::vector<SharePtr> shares = app_.shares.Snapshot();
  const std::vector<RunningDownloads::Progress> running = app_.shares.Running().Snapshot();
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const int rows = static_cast<int>(SendMessageA(shareList_, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < rows && static_cast<std::size_t>(row) < shares.size(); ++row) {
    const Share& share = *shares[static_cast<std::size_t>(row)];
    const DownloadTally tally = share.Tally();
    SetCellText(row, kColumnDownloads, DownloadsColumnText(tally.completed, locale_));
    SetCellText(row, kColumnLastDownload, LastDownloadColumnText(tally, locale_));
    const ShareState state{share.IsOneShot(), share.IsWithdrawn(), tally.completed, share.Limits()};
    SetCellText(row, kColumnRemaining, RemainingColumnText(state, now, locale_));
    std::string progress;
    for (const RunningDownloads::Progress& answers : running) {
      if (answers.share != &share) continue;
      const double rate = rates_.Sample(&share, answers.sent, seconds);
      progress = ProgressColumnText(answers.sent, answers.total, rate, answers.answers, locale_);
    }
    SetCellText(row, kColumnProgress, progress);
  }
  rates_.ForgetUnsampled();
}

void ControlPanel::EditSelectedLimits() {
  const SharePtr share = SelectedShare();
  if (!share) {
    Show(app_.services.messages, kSelectShareMessage);
    return;
  }
  if (share->IsWithdrawn()) {
    Show(app_.services.messages, kShareEndedMessage);
    return;
  }
  if (session_.limits != nullptr) session_.limits->Edit(share);
}

void ControlPanel::CopyUrlsOfSelectedRows() {
  std::vector<int> rows;
  int row = -1;
  for (;;) {
    row = static_cast<int>(SendMessageA(shareList_, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                        MAKELPARAM(LVNI_SELECTED, 0)));
    // Rows come in ascending order; anything else would never end.
    if (row == -1 || (!rows.empty() && row <= rows.back())) break;
    rows.push_back(row);
  }
  const UrlCopy copied = CopySelectedUrls(app_.services, app_.settings, app_.shares, rows);
  if (copied == UrlCopy::Copied) app_.lastShared.Set(app_.shares.ShareAt(rows.back()));
  ReportSelectedUrlCopy(app_.services.messages, copied);
}

}  // namespace qc::ui
