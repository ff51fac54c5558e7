// ServerSettings and the file that keeps them between runs, "common.cfg" in the stored
// files' directory.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shares/stored_files.h"

namespace qc {

enum SettingsFlags : std::uint16_t {
  kNewSharesOneShot = 1,
  kCopyUrlAfterShare = 2,
};

inline constexpr std::uint16_t kSettingsMagic = 0x4351;  // "QC"
inline constexpr std::uint16_t kDefaultPort = 80;

struct ServerSettings {
  std::uint16_t magic = 0;
  std::uint16_t port = 0;
  std::uint16_t hostChoice = 0;  // 0: domain; n > 0: n-th host address in the panel
  std::uint16_t flags = kCopyUrlAfterShare;
  std::string domain;         // empty: none set
  std::string defaultFolder;  // empty: none set
};

// The settings `bytes` describe: the 12-byte header (magic, port, host choice, flags and
// the two text lengths, 16-bit little-endian each), then both texts. Empty optional for a
// foreign magic or bytes that end before the texts do; bytes after the texts are ignored.
std::optional<ServerSettings> ParseSettings(std::string_view bytes);
// The bytes ParseSettings reads back as `settings` (magic included). Empty optional when a
// text is longer than its 16-bit length can describe.
std::optional<std::string> EncodeSettings(const ServerSettings& settings);

// 1 and the file's settings; 0 and default settings when the file is missing or unreadable.
int LoadSettings(const StoredFiles& files, ServerSettings& settings);
// Sets the magic and replaces the file; 0 when it cannot be written (the previous file
// stays; `error`, when given, receives the system's word) or a text does not fit the file
// (code 0).
int SaveSettings(const StoredFiles& files, ServerSettings& settings,
                 platform::FileError* error = nullptr);

}  // namespace qc
