#include "app/control.h"

#include <mutex>

#include "app/messages.h"
#include "platform/directory.h"
#include "shares/share_file.h"
#include "shares/share_url.h"

namespace qc {

int RunControlChannel(Application& app) {
  platform::ControlServer server;
  return RunControlChannel(app, server);
}

int RunControlChannel(Application& app, platform::ControlServer& server) {
  switch (server.Open()) {
    case platform::ControlSetup::Ok:
      break;
    case platform::ControlSetup::ChannelFailed:
      messages::Show(messages::kChannelEvents);
      return 0;
    case platform::ControlSetup::BlockFailed:
      messages::Show(messages::kChannelMapping);
      return 0;
    case platform::ControlSetup::BlockUnusable:
      messages::Show(messages::kChannelView);
      return 0;
  }
  // Told with the channel up: a stop sent while the message waits is served after it.
  TellShareFileDamage(app);
  ShareBatch batch;
  for (;;) {
    const platform::ControlEvent event = server.Wait();
    if (event == platform::ControlEvent::Stop || event == platform::ControlEvent::Failed) break;
    if (event == platform::ControlEvent::Share) {
      if (app.ui.active.load()) {
        // Dropped unread: the panel owns the share list while it runs.
        server.DropShareRequest();
        messages::Show(messages::kPanelRunning);
      } else {
        bool continuesBatch = false;
        const std::string path = server.TakeSharePath(&continuesBatch);
        HandleShareRequest(app, path, continuesBatch, batch);
      }
    } else if (event == platform::ControlEvent::Panel) {
      StartPanel(app);
    }
  }
  server.Close();
  return 1;
}

void HandleShareRequest(Application& app, const std::string& physicalPath, bool continuesBatch,
                        ShareBatch& batch) {
  if (!continuesBatch) batch.clear();
  // A folder would be stored, linked and answered 404 for ever. A missing file is taken:
  // the user may be about to put it there.
  if (platform::KindOfPath(physicalPath) == platform::PathKind::Other) {
    messages::Show(messages::kNotAFile, physicalPath);
    return;
  }
  std::optional<std::string> virtualPath = MakeVirtualPath(app.settings, physicalPath);
  if (!virtualPath) {
    messages::Show(messages::kIncorrectPhysicalPath);
    messages::Show(messages::kNoVirtualPath);
    return;
  }
  std::uint32_t flags = (app.settings.flags & kNewSharesOneShot) != 0 ? std::uint32_t{kOneShot} : 0u;
  SharePtr share;
  ShareFileWrite written;
  {
    // List and file change in one step: a withdrawal's rewrite in between would store the
    // share, and the append would store it a second time.
    std::lock_guard guard(app.shares.Lock());
    share = app.shares.AppendShare(physicalPath, std::move(*virtualPath), flags);
    written = AppendShareRecord(*share);
  }
  if (written == ShareFileWrite::Failed) {
    messages::Show(messages::kCantWriteShareFile);
    messages::Show(messages::kAppendFailed);
  }
  batch.push_back(share);
  if ((app.settings.flags & kCopyUrlAfterShare) != 0) {
    // The first file of a batch copies exactly as a single share does; later ones put the
    // whole batch's URLs on the clipboard, so the user pastes every link at once.
    const UrlCopy copied = batch.size() == 1 ? CopyShareUrl(app.settings, *share)
                                             : CopyShareUrls(app.settings, batch);
    if (copied != UrlCopy::Copied) messages::Show(messages::kCopyFailed);
  }
}

namespace {
int ReportSend(platform::ControlSend result, const messages::Message& notRunning) {
  switch (result) {
    case platform::ControlSend::Delivered:
      return 1;
    case platform::ControlSend::NotRunning:
      messages::Show(notRunning);
      return 0;
    case platform::ControlSend::BlockMissing:
      messages::Show(messages::kShareMapping);
      return 0;
    case platform::ControlSend::BlockUnusable:
      messages::Show(messages::kChannelView);
      return 0;
    case platform::ControlSend::PathTooLong:
      messages::Show(messages::kPathTooLong);
      return 0;
    case platform::ControlSend::Busy:
      messages::Show(messages::kShareBusy);
      return 0;
  }
  return 0;
}
}  // namespace

int SendStopRequest() {
  return ReportSend(platform::SendControlRequest(platform::ControlRequest::Stop),
                    messages::kNotRunning);
}

int SendPanelRequest() {
  return ReportSend(platform::SendControlRequest(platform::ControlRequest::Panel),
                    messages::kNotRunning);
}

int SendShareRequests(const std::vector<std::string>& paths) {
  std::vector<std::string> full;
  for (const std::string& path : paths) full.push_back(platform::AbsolutePath(path));
  return ReportSend(platform::SendControlShares(full), messages::kShareNotRunning);
}

}  // namespace qc
