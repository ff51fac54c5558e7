#include "app/control.h"

#include <algorithm>
#include <mutex>

#include "app/command_line.h"
#include "app/messages.h"
#include "app/notification_area.h"
#include "app/server.h"
#include "platform/codepage.h"
#include "platform/directory.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
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
      messages::Show(app.services.messages, messages::kChannelEvents);
      return 0;
    case platform::ControlSetup::BlockFailed:
      messages::Show(app.services.messages, messages::kChannelMapping);
      return 0;
    case platform::ControlSetup::BlockUnusable:
      messages::Show(app.services.messages, messages::kChannelView);
      return 0;
  }
  // Told with the channel up: a stop sent while the message waits is served after it.
  TellShareFileDamage(app);
  TellIgnoredSettings(app);
  // Shown once requests can be served, gone on every way out of the loop.
  ServerIcon icon(app);
  ShareBatch batch;
  // What the current batch came to, told once its client has sent all of it.
  ShareNotice notice;
  bool batchOpen = false;
  const auto endBatch = [&] {
    icon.TellShares(notice);
    notice = ShareNotice{};
    batchOpen = false;
  };
  for (;;) {
    const platform::ControlEvent event = server.Wait(batchOpen);
    if (event == platform::ControlEvent::Stop || event == platform::ControlEvent::Failed) break;
    if (event == platform::ControlEvent::BatchEnded) {
      endBatch();
    } else if (event == platform::ControlEvent::Share) {
      if (app.ui.active.load()) {
        // Dropped unread: the panel owns the share list while it runs.
        server.DropShareRequest();
        messages::Show(app.services.messages, messages::kPanelRunning);
        notice.errors.emplace_back(messages::kPanelRunning.text);
        batchOpen = true;
      } else {
        bool continuesBatch = false;
        const std::string path = server.TakeSharePath(&continuesBatch);
        if (!continuesBatch && batchOpen) endBatch();
        HandleShareRequest(app, path, continuesBatch, batch, &notice);
        batchOpen = true;
      }
    } else if (event == platform::ControlEvent::Panel) {
      StartPanel(app);
    }
  }
  server.Close();
  return 1;
}

void HandleShareRequest(Application& app, const std::string& physicalPath, bool continuesBatch,
                        ShareBatch& batch, ShareNotice* notice) {
  if (!continuesBatch) batch.clear();
  // Each box also goes into the batch's notification.
  const auto show = [&app, notice](const messages::Message& message,
                                   const std::string* detail = nullptr) {
    if (detail != nullptr) {
      messages::Show(app.services.messages, message, *detail);
    } else {
      messages::Show(app.services.messages, message);
    }
    if (notice != nullptr) {
      notice->errors.push_back(std::string(message.text) +
                               (detail != nullptr ? "\n" + *detail : std::string()));
    }
  };
  // Before anything looks at the file: the system would read the path only up to a NUL.
  if (HoldsControlCharacter(physicalPath)) {
    const std::string shown = messages::Printable(physicalPath);
    show(messages::kControlCharacterInPath, &shown);
    return;
  }
  // A device would be stored, linked and answered 404 for ever. A missing file is taken:
  // the user may be about to put it there.
  const platform::PathKind kind = platform::KindOfPath(physicalPath);
  if (kind == platform::PathKind::Other) {
    show(messages::kNotAFile, &physicalPath);
    return;
  }
  // A folder goes out as one archive, "name.zip"; nobody can be asked here whether a whole
  // drive or profile is meant.
  const bool folder = kind == platform::PathKind::Folder;
  const std::string physical = folder ? WithoutTrailingSeparators(physicalPath) : physicalPath;
  if (folder) {
    if (const messages::Message* refusal =
            messages::FolderRefusal(FolderShareRiskOfPath(physical))) {
      show(*refusal, &physical);
      return;
    }
  }
  std::optional<std::string> virtualPath = folder ? MakeFolderVirtualPath(app.settings, physical)
                                                  : MakeVirtualPath(app.settings, physical);
  if (!virtualPath) {
    show(messages::kIncorrectPhysicalPath);
    show(messages::kNoVirtualPath);
    return;
  }
  const ShareLimits limits = LimitsOfNewShare(app);
  const AddedShare added = AddAndStoreShare(app.storedFiles, app.shares, app.settings, physical,
                                            std::move(*virtualPath), limits);
  const SharePtr& share = added.share;
  if (added.written == ShareFileWrite::Failed) {
    show(messages::kCantWriteShareFile);
    show(messages::kAppendFailed);
  }
  // A failure is told by the write itself, once.
  if (limits.Any() && added.outcome != ShareAddition::AlreadyShared) StoreDownloadCounts(app);
  // A file already shared gives its own link; one file twice in a batch is one link.
  if (std::find(batch.begin(), batch.end(), share) == batch.end()) batch.push_back(share);
  app.lastShared.Set(share);
  if ((app.settings.flags & kCopyUrlAfterShare) != 0) {
    // The first file of a batch copies exactly as a single share does; later ones put the
    // whole batch's URLs on the clipboard, so the user pastes every link at once.
    const UrlCopy copied =
        batch.size() == 1
            ? CopyShareUrl(app.services.clipboard, app.services.addresses, app.settings, *share)
            : CopyShareUrls(app.services.clipboard, app.services.addresses, app.settings, batch);
    if (copied != UrlCopy::Copied) {
      show(messages::kCopyFailed);
    } else if (notice != nullptr) {
      // What the clipboard now holds: the batch's links.
      const std::string host = UrlHost(app.settings, app.services.addresses);
      notice->links.clear();
      for (const SharePtr& shared : batch) {
        notice->links.push_back(ComposeShareUrl(host, app.settings.port, *shared));
      }
    }
  }
}

namespace {
int ReportSend(const platform::MessageSink& sink, platform::ControlSend result,
               const messages::Message& notRunning) {
  switch (result) {
    case platform::ControlSend::Delivered:
      return 1;
    case platform::ControlSend::NotRunning:
      messages::Show(sink, notRunning);
      return 0;
    case platform::ControlSend::BlockMissing:
      messages::Show(sink, messages::kShareMapping);
      return 0;
    case platform::ControlSend::BlockUnusable:
      messages::Show(sink, messages::kChannelView);
      return 0;
    case platform::ControlSend::PathTooLong:
      messages::Show(sink, messages::kPathTooLong);
      return 0;
    case platform::ControlSend::Busy:
      messages::Show(sink, messages::kShareBusy);
      return 0;
  }
  return 0;
}
}  // namespace

int SendStopRequest(const platform::MessageSink& sink) {
  return ReportSend(sink, platform::SendControlRequest(platform::ControlRequest::Stop),
                    messages::kNotRunning);
}

int SendPanelRequest(const platform::MessageSink& sink) {
  return ReportSend(sink, platform::SendControlRequest(platform::ControlRequest::Panel),
                    messages::kNotRunning);
}

int SendShareRequests(const platform::MessageSink& sink, const std::vector<std::string>& paths) {
  std::vector<std::string> full;
  full.reserve(paths.size());
  for (const std::string& path : paths) {
    // The server would refuse it; told here, where the user started it.
    if (HoldsControlCharacter(path)) {
      messages::Show(sink, messages::kControlCharacterInPath, messages::Printable(path));
      continue;
    }
    full.push_back(platform::AbsolutePath(path));
  }
  if (full.empty() && !paths.empty()) return 0;
  return ReportSend(sink, platform::SendControlShares(full), messages::kShareNotRunning);
}

int SendShareRequestsFromTail(const platform::MessageSink& sink, const std::string& tail) {
  // A name no path of the code page reaches counts as there: it is refused by its name
  // below rather than making a Send to of several files one path of all their names.
  const auto exists = [](const std::string& path) {
    const platform::AnsiPath ansi = platform::AnsiPathOf(path);
    return ansi.kind == platform::AnsiPathKind::Unreachable || ExistsOnDisk(ansi.path);
  };
  const std::vector<std::string> named = SharePathsFromTail(tail, exists);
  std::vector<std::string> paths;
  paths.reserve(named.size());
  for (const std::string& path : named) {
    platform::AnsiPath ansi = platform::AnsiPathOf(path);
    if (ansi.kind == platform::AnsiPathKind::Unreachable) {
      messages::Show(sink, messages::kNameOutsideCodePage, messages::Printable(ansi.path));
      continue;
    }
    paths.push_back(std::move(ansi.path));
  }
  if (paths.empty()) return 0;
  return SendShareRequests(sink, paths);
}

}  // namespace qc
