// The server's side of the native commands: each one does what the control panel would,
// and answers with the outcome so that the command can print it and exit accordingly.
#include <mutex>
#include <optional>

#include "app/messages.h"
#include "app/server.h"
#include "cli/native_server.h"
#include "cli/options.h"
#include "platform/directory.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "shares/share_url.h"

namespace qc::cli {

namespace {

ControlReply Ok(std::vector<std::string> fields) { return {ReplyStatus::Ok, std::move(fields)}; }
ControlReply Failed(std::string text) { return {ReplyStatus::Failed, {std::move(text)}}; }

ControlReply Share(Application& app, const std::vector<std::string>& fields) {
  // The path, then the user's confirmation (--yes) of a folder that holds a whole drive or
  // profile, and the limits, each at most once.
  if (fields.empty()) return Failed("a share request names one file");
  bool confirmed = false;
  ShareLimits limits;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::string& field = fields[i];
    const auto number = [&field](std::size_t skip) -> std::optional<std::int64_t> {
      const std::string digits = field.substr(skip);
      if (digits.empty() || digits.size() > 18 ||
          digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
      }
      return std::stoll(digits);
    };
    if (field == kFolderConfirmed && !confirmed) {
      confirmed = true;
    } else if (field.rfind(kLimitField, 0) == 0 && limits.maxDownloads == 0 &&
               number(sizeof kLimitField - 1).value_or(0) > 0) {
      limits.maxDownloads = static_cast<std::uint64_t>(*number(sizeof kLimitField - 1));
    } else if (field.rfind(kUntilField, 0) == 0 && limits.until == 0 &&
               number(sizeof kUntilField - 1).value_or(0) > 0) {
      limits.until = *number(sizeof kUntilField - 1);
    } else {
      return Failed("a share request names one file");
    }
  }
  const std::string& named = fields[0];
  if (app.ui.active.load()) return Failed(std::string(messages::kPanelRunning.text));
  // Before the file is looked at: the system would read the path only up to a NUL.
  if (HoldsControlCharacter(named)) {
    return Failed(std::string(messages::kControlCharacterInPath.text) + ": " +
                  messages::Printable(named));
  }
  // The command checks these too; what replaced the file since must not be stored unasked.
  const platform::PathKind kind = platform::KindOfPath(named);
  if (kind == platform::PathKind::Other) {
    return Failed(std::string(messages::kNotAFile.text) + ": " + named);
  }
  const bool folder = kind == platform::PathKind::Folder;
  const std::string physical = folder ? WithoutTrailingSeparators(named) : named;
  if (folder && !confirmed) {
    if (const messages::Message* refusal =
            messages::FolderRefusal(FolderShareRiskOfPath(physical))) {
      return Failed(FolderRefusalText(refusal->text, messages::Printable(physical)));
    }
  }
  const std::size_t separator = physical.rfind('/');
  if (separator == std::string::npos || (separator < 1 && !folder)) {
    return Failed(std::string(messages::kIncorrectPhysicalPath.text) + "\n" +
                  std::string(messages::kNoVirtualPath.text));
  }
  std::optional<std::string> virtualPath = folder ? MakeFolderVirtualPath(app.settings, physical)
                                                  : MakeVirtualPath(app.settings, physical);
  if (!virtualPath) return Failed(std::string(messages::kNoVirtualPath.text));
  // Under the share lock, so that no request finds the share before its limits. A new share
  // takes the defaults for what the command left open; a file shared already keeps its
  // limits unless the command gives some.
  std::unique_lock guard(app.shares.Lock());
  const ShareLimits newLimits = LimitsOfNewShare(app, limits);
  const AddedShare added = AddAndStoreShare(app.storedFiles, app.shares, app.settings, physical,
                                            std::move(*virtualPath), newLimits);
  const SharePtr& share = added.share;
  bool limitsStored = true;
  if (added.outcome == ShareAddition::AlreadyShared && limits.Any()) {
    share->SetLimits(limits);
    limitsStored = StoreDownloadCounts(app);
  } else if (added.outcome != ShareAddition::AlreadyShared && newLimits.Any()) {
    limitsStored = StoreDownloadCounts(app);
  }
  guard.unlock();
  std::string warning;
  if (added.written == ShareFileWrite::Failed) {
    messages::Show(app.services.messages, messages::kCantWriteShareFile);
    warning = std::string(messages::kAppendFailed.text) +
              ": the file is served until the server stops, but shared.cfg does not hold it";
  }
  if (!limitsStored) {
    if (!warning.empty()) warning += "\n";
    warning += "Can't write to file downloads.cfg: the limits hold until the server stops";
  }
  const std::string host = UrlHost(app.settings, app.services.addresses);
  if ((app.settings.flags & kCopyUrlAfterShare) != 0 &&
      CopyShareUrl(app.services.clipboard, app.services.addresses, app.settings, *share) !=
          UrlCopy::Copied) {
    messages::Show(app.services.messages, messages::kCopyFailed);
  }
  return Ok({ShareUrlOrPath(host, app.settings.port, *share), warning});
}

ControlReply List(Application& app) {
  const std::optional<std::string> host = UrlHost(app.settings, app.services.addresses);
  std::vector<std::string> fields;
  for (const SharePtr& share : app.shares.Snapshot()) {
    fields.push_back(ShareUrlOrPath(host, app.settings.port, *share));
    fields.push_back(share->physicalPath);
    fields.push_back(std::to_string(share->flags.load()));
    const DownloadTally tally = share->Tally();
    const ShareLimits limits = share->Limits();
    fields.push_back(std::to_string(tally.completed));
    fields.push_back(std::to_string(tally.lastTime));
    fields.push_back(std::to_string(tally.lastAddress));
    fields.push_back(std::to_string(limits.maxDownloads));
    fields.push_back(std::to_string(limits.until));
  }
  return Ok(std::move(fields));
}

ControlReply Unshare(Application& app, const std::vector<std::string>& fields) {
  // The fields are names of the same share: as typed, and a file name made absolute.
  if (fields.empty()) return Failed("an unshare request names a share");
  const std::optional<std::string> host = UrlHost(app.settings, app.services.addresses);
  // As the panel's Delete and then Close: out of the list at once, and shared.cfg rewritten
  // from what is left, all under the share lock.
  std::lock_guard guard(app.shares.Lock());
  std::vector<std::string> removed =
      RemoveMatchingShares(app.shares, host, app.settings.port, fields);
  if (removed.empty()) return Failed("no share matches \"" + fields[0] + "\"");
  // A share made again later with the same paths must not inherit the old counts.
  StoreDownloadCounts(app);
  if (RewriteShareFile(app.storedFiles, app.shares) == ShareFileWrite::Failed) {
    messages::Show(app.services.messages, messages::kCantWriteShareFile);
    return Failed(std::string(messages::kCantWriteShareFile.text) +
                  ": the share is no longer served, but it returns at the next start");
  }
  return Ok(std::move(removed));
}

ControlReply Config(Application& app, std::uint16_t listeningPort,
                    const std::vector<std::string>& fields) {
  SettingChanges changes;
  const std::string wrong = ParseSettingChanges(fields, changes);
  if (!wrong.empty()) return Failed(wrong);
  std::string notice;
  if (!changes.Empty()) {
    std::lock_guard guard(app.shares.Lock());
    ServerSettings changed = app.settings;
    ApplySettingChanges(changes, changed);
    ShareDefaults defaults = app.shareDefaults;
    ApplySettingChanges(changes, defaults);
    // The running settings change only together with their files, so the two never
    // disagree; a failure changes neither file.
    const SettingsStoreResult stored =
        StoreSettingsChange(app.storedFiles, changes.SettingsEmpty() ? nullptr : &changed,
                            changes.DefaultsEmpty() ? nullptr : &defaults, app.shareDefaults);
    switch (stored.outcome) {
      case SettingsStore::Stored:
        break;
      case SettingsStore::NothingChanged:
        return Failed(stored.failedFile == app.storedFiles.Defaults()
                          ? "Can't write to file newshares.cfg; nothing was changed"
                          : "Can't write to file common.cfg; nothing was changed");
      case SettingsStore::OnlyDefaultsStored:
        return Failed(
            "Can't write to file common.cfg; the defaults for new shares were changed "
            "(newshares.cfg), the other settings were not");
    }
    app.settings = std::move(changed);
    app.shareDefaults = defaults;
  }
  if (changes.port && app.settings.port != listeningPort) {
    notice = "Requires restart the server to update the port: port " +
             std::to_string(app.settings.port) +
             " takes effect at the next start; the server keeps listening on port " +
             std::to_string(listeningPort);
  }
  std::string shown = FormatSettings(app.settings, app.shareDefaults);
  if (fields.empty()) shown += FormatHostReport(app.settings, app.services.addresses);
  return Ok({std::move(shown), notice});
}

}  // namespace

ControlReply HandleCommand(Application& app, std::uint16_t listeningPort, CommandType type,
                           const std::vector<std::string>& fields) {
  switch (type) {
    case CommandType::Share:
      return Share(app, fields);
    case CommandType::List:
      return List(app);
    case CommandType::Unshare:
      return Unshare(app, fields);
    case CommandType::Config:
      return Config(app, listeningPort, fields);
  }
  return {ReplyStatus::Unsupported, {"the server does not know this request"}};
}

}  // namespace qc::cli
