// The server's icon in the notification area (Windows): what it shows, what its menu does,
// and the one notification each Send to gets. The native build shows no icon; the texts
// and the notification's wording are portable and tested on both.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "platform/notify_icon.h"

namespace qc {

// The menu, in this order; a double-click opens the control panel.
enum TrayCommand : int { kTrayOpenPanel = 1, kTrayCopyLinks = 2, kTrayStop = 3, kTrayShowCode = 4 };
inline constexpr char kTrayOpenPanelText[] = "Control panel";
inline constexpr char kTrayCopyLinksText[] = "Copy links of all shares";
inline constexpr char kTrayShowCodeText[] = "Show QR code of the last link";
inline constexpr char kTrayStopText[] = "Stop";

inline constexpr char kNoticeLinkCopied[] = "Link copied";
inline constexpr char kNoticeShareFailed[] = "Share failed";
inline constexpr char kNoticeCopyFailed[] = "Copy failed";
inline constexpr char kNoticeNoShares[] = "No shares";
inline constexpr char kNoticeNoSharesText[] =
    "Nothing is shared yet: send a file to Quillcast, or add one in the control panel.";
// How often the icon's thread looks for completed downloads to tell.
inline constexpr unsigned kDownloadNoticeTick = 250;
inline constexpr char kNoticeNoLink[] = "No link yet";
inline constexpr char kNoticeNoLinkText[] =
    "No link was shared or copied since Quillcast started: send a file to Quillcast, or copy "
    "a link in the control panel.";

// "Quillcast - port N".
std::string TrayTooltip(std::uint16_t port);
std::vector<platform::NotifyMenuItem> TrayMenu();

// What the shares of one Send to came to: the links that went onto the clipboard (the
// whole batch's, as the clipboard holds them) and the text of every message shown.
struct ShareNotice {
  std::vector<std::string> links;
  std::vector<std::string> errors;
  bool IsEmpty() const { return links.empty() && errors.empty(); }
};

struct NoticeText {
  std::string title;
  std::string text;
  platform::NotifyKind kind = platform::NotifyKind::Info;
};

// The notification a batch gets: "Link copied" with its links, or, when anything failed,
// the error texts (and the links that were copied all the same). None when nothing was
// copied and nothing failed (links are not copied unless the user asked for it).
std::optional<NoticeText> ComposeShareNotice(const ShareNotice& notice);
// The lines joined by line feeds within `limit` bytes: the lines that do not fit are
// counted in a last "(N more)" line, and a first line that alone is too long is cut and
// ends in "...".
std::string FitNoticeLines(const std::vector<std::string>& lines, std::size_t limit);

// The icon while the control channel serves: shown when the user has not turned it off,
// removed when this object goes (every way out of the control loop). Its window, there
// also without the icon, takes a request to close the program (WM_CLOSE) as Stop.
class ServerIcon {
 public:
  explicit ServerIcon(Application& app);
  ServerIcon(const ServerIcon&) = delete;
  ServerIcon& operator=(const ServerIcon&) = delete;

  // The one notification of a finished batch; nothing when there is nothing to tell.
  void TellShares(const ShareNotice& notice);
  // "Copy links of all shares": the text the panel's copy makes for all its rows.
  void CopyAllLinks();
  // "Show QR code of the last link", and a click on a "Link copied" notification: the
  // code of the link shared or copied last, in a window of this thread.
  void ShowCodeOfLastLink();
  // Tells the completed downloads gathered so far once they are due (the icon's timer).
  void TellDownloadsDue();
  ~ServerIcon();

 private:
  void Tell(const NoticeText& notice);
  void OnCommand(int command);

  Application& app_;
  // Declared before the icon, so that it goes after it: no click reaches a window gone.
  std::unique_ptr<LinkCodeView> codeView_;
  bool clickShowsCode_ = false;  // the notification shown last says "Link copied"
  platform::NotifyIcon icon_;
};

}  // namespace qc
