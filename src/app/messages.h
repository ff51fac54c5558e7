// Every message the entry and the control channel show, with its caption and icon, and the
// texts about shares, files and URL copies that the server, the panel and the command show.
#pragma once
#include <string>
#include <string_view>

#include "platform/message.h"
#include "shares/folder_rules.h"
#include "shares/setting_rules.h"

namespace qc::messages {

using platform::MessageIcon;

inline constexpr Message kAlreadyRunning{"Error, server already running", "error",
                                         MessageIcon::Error};
inline constexpr Message kBindFailed{"Can't run server. Check your firewall and access to port",
                                     "Error", MessageIcon::Error};
inline constexpr Message kListenFailed{"Can't run server", "Error", MessageIcon::Error};
// common.cfg written by hand (or by an older version) with port 0.
inline constexpr Message kPortInvalid{
    "Can't run server. The port in common.cfg is 0; choose a port from 1 to 65535", "Error",
    MessageIcon::Error};
// A process-wide lock that cannot be made would leave the share list or the connection
// list unguarded; the server does not start without them.
inline constexpr Message kLockFailed{"Can't run server\n\nCreateMutex error", "Error",
                                     MessageIcon::Error};

inline constexpr Message kChannelEvents{
    "Failed to start the configuration server\n\nCreateEvent error", "Error", MessageIcon::Error};
inline constexpr Message kChannelMapping{
    "Failed to start the configuration server\n\nFile mapping: handle error", "Error",
    MessageIcon::Error};
inline constexpr Message kChannelView{
    "Failed to start the configuration server\n\nFile mapping: pointer error", "Error",
    MessageIcon::Error};

inline constexpr Message kPanelRunning{
    "The operation is not available while configuration window is running", "Attention",
    MessageIcon::Warning};
inline constexpr Message kNoVirtualPath{"Error. Can't generate virtual path", "error",
                                        MessageIcon::Error};
inline constexpr Message kAppendFailed{"Can't append data to configuration file", "Error",
                                       MessageIcon::Error};
inline constexpr Message kCopyFailed{"Unable to copy uri to clipboard", "Error",
                                     MessageIcon::Error};
// A one-shot share's withdrawal could not be stored: until the next successful write of the
// share list, a restart would serve the share again.
inline constexpr Message kWithdrawalNotStored{
    "Can't write to file shared.cfg, something wrong\n\nA one-shot share was withdrawn after "
    "its download, but only until the server stops: unless the share list is saved again "
    "before, the share is served again after a restart.",
    "ERROR", MessageIcon::Error};
// The counts (or a new share's limits) could not be stored: they hold until the server
// stops. Told once until a write succeeds again, not at every download.
inline constexpr Message kDownloadsNotStored{
    "Can't write to file downloads.cfg, something wrong\n\nThe completed downloads and the "
    "limits of the shares hold until the server stops; a restart goes back to what the file "
    "held.",
    "ERROR", MessageIcon::Error};

// newshares.cfg could not be read as written: told once at the start. The shares and
// their counts live elsewhere and are untouched.
inline constexpr Message kShareDefaultsDamaged{
    "newshares.cfg is damaged\n\nNew shares get no default download limit or lifetime until "
    "the defaults are set again; the shares and their downloads are not affected, and the "
    "file is left as it is.",
    "Attention", MessageIcon::Warning};

inline constexpr Message kNotRunning{
    "Unable to perform the operation. Most likely the server is not running", "Attention",
    MessageIcon::Warning};
inline constexpr Message kShareNotRunning{
    "Configuration error, most likely the server is not running\n\nOpenEvent error", "Error",
    MessageIcon::Error};
inline constexpr Message kShareMapping{"Configuration error\n\nFile mapping: opening error",
                                       "Error", MessageIcon::Error};
// The block holds 5118 path bytes; a longer path would run past it.
inline constexpr Message kPathTooLong{
    "The path is too long to share: at most 5118 bytes fit the request", "Error",
    MessageIcon::Error};
inline constexpr Message kShareBusy{
    "The server did not take the previous share request in time; please try again", "Error",
    MessageIcon::Error};

// ---- Shares, files and URL copies ------------------------------------------------------

inline constexpr Message kIncorrectPhysicalPath{"Incorrect physical path to file", "Error",
                                                MessageIcon::Error};
inline constexpr Message kCantWriteShareFile{"Can't write to file shared.cfg, something wrong",
                                             "ERROR", MessageIcon::Error};
// Only a regular file or a folder can ever be served: a device or a pipe stored as a share
// would answer 404 for ever (the panel, which cannot ask before sharing a whole drive yet,
// refuses folders too). Shown with the path as its detail; nothing is stored or copied.
inline constexpr Message kNotAFile{"Only files can be shared, not folders", "Error",
                                   MessageIcon::Error};

// A folder that holds more than anyone means to share at once, asked for where nobody can
// be asked to confirm it (Send to; the native command without --yes). Shown with the path;
// nothing is stored.
inline constexpr Message kFolderIsDriveRoot{
    "Can't share this folder: it is the root of a drive, so everything on the drive would be "
    "shared. Share the folders inside it that you mean to share",
    "Error", MessageIcon::Error};
inline constexpr Message kFolderHoldsProfile{
    "Can't share this folder: it holds your user profile, so all your documents, keys and "
    "browser data would be shared. Share the folders inside it that you mean to share",
    "Error", MessageIcon::Error};

// The message that refuses a folder of this risk unconfirmed; none when it needs no
// confirmation.
inline const Message* FolderRefusal(FolderShareRisk risk) {
  switch (risk) {
    case FolderShareRisk::DriveRoot:
      return &kFolderIsDriveRoot;
    case FolderShareRisk::WholeProfile:
      return &kFolderHoldsProfile;
    case FolderShareRisk::None:
      break;
  }
  return nullptr;
}

// A share request whose path holds a control character (a NUL, a line feed, ...): no file
// name holds one, and a NUL would make shared.cfg unreadable at the next start. Shown with
// the path as its detail (each control character as "?"); nothing is stored.
inline constexpr Message kControlCharacterInPath{
    "Can't share this path: it holds a control character", "Error", MessageIcon::Error};
// Windows: a file whose name the ANSI code page cannot hold (Japanese under an English
// system, an emoji), and that has no short name the code page holds either. Shown with the
// path as the code page shows it; nothing is stored, so no link leads nowhere.
inline constexpr Message kNameOutsideCodePage{
    "Can't share this file: its name holds characters that this system's code page for "
    "programs cannot hold, and it has no short name to stand in for it. Rename the file (or "
    "its folder) and share it again",
    "Error", MessageIcon::Error};

// Told once, with the server up, when common.cfg holds a setting that breaks every link
// (written by hand or by another tool): each such field is named under this headline, and
// this run goes on without it. The file stays as it is.
inline constexpr Message kSettingsIgnored{
    "common.cfg holds settings that would break every link; this run goes on without them, "
    "and the file is left as it is:",
    "Attention", MessageIcon::Warning};
inline constexpr char kIgnoredDomain[] = "domain \"%\": links take an address of this machine";
inline constexpr char kIgnoredFolder[] = "default virtual folder \"%\": new shares go under \"/\"";

// Text for a message box or a line: each control character as "?", so that a NUL does not
// cut the text short and a line feed does not break it.
inline std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

// The ignored settings' lines under kSettingsIgnored's headline; none when nothing was.
inline void ShowIgnoredSettings(const platform::MessageSink& sink, const IgnoredSettings& ignored) {
  if (!ignored.Any()) return;
  const auto line = [](const char* pattern, const std::string& value) {
    std::string text = pattern;
    text.replace(text.find('%'), 1, Printable(value));
    return text;
  };
  std::string text(kSettingsIgnored.text);
  if (ignored.domain) text += "\n\n" + line(kIgnoredDomain, *ignored.domain);
  if (ignored.folder) text += "\n\n" + line(kIgnoredFolder, *ignored.folder);
  platform::ShowMessage(sink, text, kSettingsIgnored.caption, kSettingsIgnored.icon);
}

// Told once, when a load finds shared.cfg damaged: the shares after the damage are not in
// the list, and the file as it was is kept under the name that follows the text (or,
// when no copy could be made, left as it is).
inline constexpr Message kShareFileDamaged{
    "shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
    "The file as it was is kept as ",
    "Attention", MessageIcon::Warning};
inline constexpr Message kShareFileDamagedNotKept{
    "shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
    "No copy of it could be made, so it is left as it is",
    "Attention", MessageIcon::Warning};

inline void ShowShareFileDamage(const platform::MessageSink& sink, const std::string& keptAs) {
  if (keptAs.empty()) {
    Show(sink, kShareFileDamagedNotKept);
    return;
  }
  const std::string text = std::string(kShareFileDamaged.text) + keptAs;
  platform::ShowMessage(sink, text, kShareFileDamaged.caption, kShareFileDamaged.icon);
}

}  // namespace qc::messages
