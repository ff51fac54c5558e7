// The control panel window: the settings on the left, the share list on the right. One
// object per window, reached from the window procedure through GWLP_USERDATA.
#pragma once
#include "platform/os_windows.h"

#include <shellapi.h>

#include <memory>
#include <string>

#include "shares/share_adding.h"
#include "ui/link_code_window.h"
#include "ui/panel_logic.h"
#include "ui/ui_session.h"

namespace qc::ui {

class ControlPanel {
 public:
  explicit ControlPanel(UiSession& session) : session_(session), app_(session.app) {}
  ControlPanel(const ControlPanel&) = delete;
  ControlPanel& operator=(const ControlPanel&) = delete;

  // Appends the row of a share just appended to the registry (row n is share n).
  void AddShareRow(const std::string& virtualPath);
  // What the share rule did with a file shared in this panel (a drop, New share): the rows
  // follow the registry, and the user is told of a file already shared and of a failed
  // write. A refused path is the caller's to tell.
  void ShowAddedShare(const AddedShare& added);
  // The columns after the path from the shares' counts, limits and running downloads: only
  // the cells whose text changed are set, so the list neither flickers nor loses its
  // selection or scroll position.
  void RefreshShareColumns();

 private:
  template <typename Window>
  friend LRESULT CALLBACK RouteToWindowObject(HWND, UINT, WPARAM, LPARAM);

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCreate();
  void OnCommand(int id);

  void SetUpShareListView();
  void FillHostCombo();
  void FillPanelFromSettings();
  // Every row anew from the registry.
  void FillShareRows();
  // False, with the user told why, when a typed setting breaks a rule: nothing is saved
  // and the panel stays open.
  bool SavePanelSettings();
  bool TypedSettingsFollowTheRules(int port, const std::string& domain, const std::string& folder);
  void DeleteFocusedShare();
  void AddDroppedFiles(HDROP drop);
  void ShowNewShareWindow();
  void CopyUrlsOfSelectedRows();
  void EditSelectedLimits();
  void SetCellText(int row, int column, const std::string& text);
  // The QR code window follows the selection: the share of the focused row when it is
  // selected, else of the first selected row; no code without a selection.
  SharePtr SelectedShare();
  std::string LinkOfSelection();
  void RefreshCodeSoon();

  UiSession& session_;
  Application& app_;
  HWND window_ = nullptr;
  HWND shareList_ = nullptr;
  HWND hostList_ = nullptr;
  HWND domainEdit_ = nullptr;
  HWND folderEdit_ = nullptr;
  std::unique_ptr<LinkCodeWindow> code_;
  SharePtr codeShare_;               // whose link the QR code window shows
  bool codeRefreshPending_ = false;  // one redraw for a burst of selection changes
  LocaleFormat locale_;
  ProgressRates rates_;
};

}  // namespace qc::ui
