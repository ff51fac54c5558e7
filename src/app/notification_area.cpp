#include "app/notification_area.h"

#include "app/messages.h"
#include "platform/control_channel.h"
#include "shares/share_url.h"

namespace qc {

std::string TrayTooltip(std::uint16_t port) { return "Quillcast - port " + std::to_string(port); }

std::vector<platform::NotifyMenuItem> TrayMenu() {
  return {{kTrayOpenPanel, kTrayOpenPanelText},
          {kTrayCopyLinks, kTrayCopyLinksText},
          {kTrayShowCode, kTrayShowCodeText},
          {kTrayStop, kTrayStopText}};
}

namespace {

std::string Joined(const std::vector<std::string>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text += '\n';
    text += lines[i];
  }
  return text;
}

// Appended piece by piece: gcc 12 warns wrongly (-Wrestrict) on a literal + a temporary.
std::string MoreLine(std::size_t left) {
  std::string line = "(";
  line += std::to_string(left);
  line += " more)";
  return line;
}

// A message's headline and detail stand apart by an empty line in a box; a notification
// has no room for it.
void AppendLinesOf(const std::string& text, std::vector<std::string>& lines) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::string FitNoticeLines(const std::vector<std::string>& lines, std::size_t limit) {
  const std::size_t total = lines.size();
  std::string all = Joined(lines, total);
  if (all.size() <= limit) return all;
  for (std::size_t keep = total - 1; keep > 0; --keep) {
    std::string text = Joined(lines, keep) + "\n" + MoreLine(total - keep);
    if (text.size() <= limit) return text;
  }
  std::string more;
  if (total > 1) more = '\n' + MoreLine(total - 1);
  const std::string cut = "...";
  if (limit < more.size() + cut.size()) return all.substr(0, limit);
  return lines[0].substr(0, limit - more.size() - cut.size()) + cut + more;
}

std::optional<NoticeText> ComposeShareNotice(const ShareNotice& notice) {
  if (notice.IsEmpty()) return std::nullopt;
  if (notice.errors.empty()) {
    return NoticeText{kNoticeLinkCopied, FitNoticeLines(notice.links, platform::kNotifyTextLimit),
                      platform::NotifyKind::Info};
  }
  std::vector<std::string> lines;
  for (const std::string& error : notice.errors) AppendLinesOf(error, lines);
  if (!notice.links.empty()) {
    lines.push_back(std::string(kNoticeLinkCopied) + ":");
    lines.insert(lines.end(), notice.links.begin(), notice.links.end());
  }
  return NoticeText{kNoticeShareFailed, FitNoticeLines(lines, platform::kNotifyTextLimit),
                    platform::NotifyKind::Error};
}

ServerIcon::ServerIcon(Application& app) : app_(app), icon_(app.services.iconObserver) {
  // A request to close the icon's window ("taskkill" without /F, an uninstaller) stops the
  // server as the menu's Stop does. Without the icon the window is there all the same:
  // otherwise such a request would find no window of the program to close, and could only
  // end it by force, without its stop.
  const auto onCommand = [this](int command) { OnCommand(command); };
  if (!platform::NotifyIconWanted()) {
    icon_.ShowWithoutIcon(kTrayStop, onCommand);
    return;
  }
  icon_.Show(TrayTooltip(app_.settings.port), TrayMenu(), kTrayOpenPanel, kTrayStop, onCommand);
  if (platform::DownloadNoticesWanted()) {
    app_.downloadNotices.SetWanted(true);
    icon_.Every(kDownloadNoticeTick, [this] { TellDownloadsDue(); });
  }
}

ServerIcon::~ServerIcon() { app_.downloadNotices.SetWanted(false); }

void ServerIcon::TellDownloadsDue() {
  if (std::optional<DownloadNoticeText> due =
          app_.downloadNotices.TakeDue(DownloadNotices::Clock::now())) {
    Tell({due->title, due->text, platform::NotifyKind::Info});
  }
}

void ServerIcon::OnCommand(int command) {
  // The panel and the stop go through the channel's own requests, exactly as "-ui" and
  // "-stop" send them: the control loop serves them in its order, never in the middle of
  // a share whose message box is dispatching this click.
  switch (command) {
    case kTrayOpenPanel:
      platform::SendControlRequest(platform::ControlRequest::Panel);
      break;
    case kTrayCopyLinks:
      CopyAllLinks();
      break;
    case kTrayStop:
      platform::SendControlRequest(platform::ControlRequest::Stop);
      break;
    case kTrayShowCode:
      ShowCodeOfLastLink();
      break;
    case platform::kNotificationClicked:
      if (clickShowsCode_) ShowCodeOfLastLink();
      break;
    default:
      break;
  }
}

void ServerIcon::CopyAllLinks() {
  const std::vector<SharePtr> shares = app_.shares.Snapshot();
  if (shares.empty()) {
    Tell({kNoticeNoShares, kNoticeNoSharesText, platform::NotifyKind::Info});
    return;
  }
  if (CopyShareUrls(app_.services.clipboard, app_.services.addresses, app_.settings, shares) !=
      UrlCopy::Copied) {
    Tell({kNoticeCopyFailed, std::string(messages::kCopyFailed.text), platform::NotifyKind::Error});
    return;
  }
  app_.lastShared.Set(shares.back());
  const std::string host = UrlHost(app_.settings, app_.services.addresses);
  std::vector<std::string> links;
  links.reserve(shares.size());
  for (const SharePtr& share : shares)
    links.push_back(ComposeShareUrl(host, app_.settings.port, *share));
  Tell({kNoticeLinkCopied, FitNoticeLines(links, platform::kNotifyTextLimit),
        platform::NotifyKind::Info});
}

void ServerIcon::TellShares(const ShareNotice& notice) {
  if (const std::optional<NoticeText> text = ComposeShareNotice(notice)) Tell(*text);
}

void ServerIcon::ShowCodeOfLastLink() {
  const SharePtr share = app_.lastShared.Get();
  if (!share) {
    Tell({kNoticeNoLink, kNoticeNoLinkText, platform::NotifyKind::Info});
    return;
  }
  if (!codeView_ && app_.panel.makeLinkCodeView) codeView_ = app_.panel.makeLinkCodeView(app_);
  if (codeView_)
    codeView_->Show(ComposeShareUrl(UrlHost(app_.settings, app_.services.addresses),
                                    app_.settings.port, *share));
}

void ServerIcon::Tell(const NoticeText& notice) {
  clickShowsCode_ = notice.title == kNoticeLinkCopied;
  icon_.Notify(notice.title, notice.text, notice.kind);
}

}  // namespace qc
