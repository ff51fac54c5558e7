// The native command line: what the arguments ask for, the settings that -config may
// change and how they are written out. No system calls here, so all of it is unit-tested.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shares/qr_code.h"
#include "shares/settings_file.h"
#include "shares/share_defaults.h"
#include "shares/share_limits.h"
#include "shares/share_registry.h"

namespace qc::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

enum class Action { Serve, Share, Stop, List, Unshare, Config, Qr, Help, Version, Usage };

// -limit and -until follow the rules the panel's fields follow (shares/share_limits.h).
using qc::LocalDateTime;
using qc::ParseLocalDateTime;

struct Invocation {
  Action action = Action::Usage;
  bool quiet = false;                  // Serve: no request log
  bool confirmed = false;              // Share: --yes, folders that hold a drive or profile too
  std::vector<std::string> operands;   // files, URLs or paths, key=value pairs
  std::string error;                   // Usage: what is wrong
  std::string pngFile;                 // Qr: the PNG to write instead of the terminal's text
  QrLevel qrLevel = QrLevel::M;        // Qr: the error correction level
  std::uint64_t limit = 0;             // Share: -limit N, completed downloads; 0 none
  std::optional<LocalDateTime> until;  // Share: -until, the local time the shares end
};

// A share request's fields after the path for -limit and -until ("limit=N", "until=T" in
// Unix seconds); the server refuses a request with fields it does not know.
inline constexpr char kLimitField[] = "limit=";
inline constexpr char kUntilField[] = "until=";

// A share request's second field when the user confirmed (--yes) sharing a folder that
// holds a whole drive or profile.
inline constexpr char kFolderConfirmed[] = "yes";
// The refusal of such a folder without --yes: `reason` (the message's text), the folder, and
// how to share it all the same.
std::string FolderRefusalText(std::string_view reason, const std::string& folder);

// `args` are the arguments after the program name.
Invocation ParseArguments(const std::vector<std::string>& args);
std::string UsageText();

struct SettingChanges {
  std::optional<std::uint16_t> port;
  std::optional<std::string> domain;
  std::optional<std::string> folder;
  std::optional<std::uint16_t> host;
  std::optional<bool> oneShot;
  std::optional<bool> copyUrl;
  // The defaults of new shares, kept apart from common.cfg (shares/share_defaults.h).
  std::optional<std::uint64_t> limit;
  std::optional<std::int64_t> lifetime;
  bool SettingsEmpty() const {
    return !port && !domain && !folder && !host && !oneShot && !copyUrl;
  }
  bool DefaultsEmpty() const { return !limit && !lifetime; }
  bool Empty() const { return SettingsEmpty() && DefaultsEmpty(); }
};

// Reads key=value pairs into `changes`. Returns what is wrong with the first bad pair, or
// an empty text when every pair is good.
std::string ParseSettingChanges(const std::vector<std::string>& pairs, SettingChanges& changes);
// Keeps the settings' invariant: a text is present exactly when its length is non-zero.
void ApplySettingChanges(const SettingChanges& changes, ServerSettings& settings);
void ApplySettingChanges(const SettingChanges& changes, ShareDefaults& defaults);
// What is wrong with a link to be shown as a QR code, or an empty text: it must be an
// http:// or https:// link with a host, without blanks or control characters (a phone
// would stop reading there), in UTF-8.
std::string CheckQrLink(const std::string& link);
// Whether an operand of -qr is meant as a link rather than as a file: "scheme://...".
bool LooksLikeLink(const std::string& operand);

// One key=value line per setting and default of new shares, in the form -config reads back.
std::string FormatSettings(const ServerSettings& settings, const ShareDefaults& defaults);

// One line of -list: URL, physical path and marks, separated by tabs; control characters,
// tabs and backslashes in the path are written as \t, \n, \\ or \xHH so that every share
// stays on one line.
// Then the completed downloads, the last one's local time and client, the download limit and
// the end time ("-" for none); `localTime` writes a Unix time as the user's clock shows it.
std::string FormatShareLine(const std::string& url, const std::string& physicalPath,
                            std::uint32_t flags);
std::string FormatShareLine(const std::string& url, const std::string& physicalPath,
                            std::uint32_t flags, const DownloadTally& tally,
                            const ShareLimits& limits,
                            const std::function<std::string(std::int64_t)>& localTime);

// Whether the argument of -unshare names `share`: its URL (any host), its virtual path
// (escaped or not) or its physical path.
bool ShareMatches(const std::string& argument, const Share& share, const std::string& url);

}  // namespace qc::cli
