// ServerSettings and the two files that keep the state between runs, "common.cfg" and
// "shared.cfg", both opened by bare name in the current directory.
#pragma once
#include <cstdint>
#include <string>

#include "shares/share_registry.h"

namespace qc {

enum SettingsFlags : std::uint16_t {
  kNewSharesOneShot = 1,
  kCopyUrlAfterShare = 2,
};

inline constexpr char kSettingsFileName[] = "common.cfg";
inline constexpr char kSharesFileName[] = "shared.cfg";
inline constexpr std::uint16_t kSettingsMagic = 0x4351;  // "QC"
inline constexpr std::uint16_t kDefaultPort = 80;

struct ServerSettings {
  std::uint16_t magic = 0;
  std::uint16_t port = 0;
  std::uint16_t hostChoice = 0;  // 0: domain; n > 0: n-th host address in the panel
  std::uint16_t flags = kCopyUrlAfterShare;
  std::uint16_t domainLength = 0;
  std::uint16_t folderLength = 0;
  std::string domain;         // present exactly when domainLength != 0
  std::string defaultFolder;  // present exactly when folderLength != 0
};

int LoadSettings(ServerSettings& settings);
int SaveSettings(ServerSettings& settings);
int LoadShares(ShareRegistry& registry, std::int32_t start);
int AppendShareRecord(const Share& share);
int RewriteShareFile(ShareRegistry& registry);

}  // namespace qc
