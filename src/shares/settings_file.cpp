#include "shares/settings_file.h"

#include "shares/stored_bytes.h"

namespace qc {

namespace {
constexpr std::size_t kSettingsHeaderSize = 12;
}  // namespace

std::optional<ServerSettings> ParseSettings(std::string_view bytes) {
  if (bytes.size() < kSettingsHeaderSize) return std::nullopt;
  ServerSettings parsed;
  parsed.magic = GetU16(bytes.data() + 0);
  if (parsed.magic != kSettingsMagic) return std::nullopt;
  parsed.port = GetU16(bytes.data() + 2);
  parsed.hostChoice = GetU16(bytes.data() + 4);
  parsed.flags = GetU16(bytes.data() + 6);
  const std::size_t domainLength = GetU16(bytes.data() + 8);
  const std::size_t folderLength = GetU16(bytes.data() + 10);
  // A file that ends inside its texts is as unreadable as a short header: nothing of it
  // is taken over.
  if (bytes.size() - kSettingsHeaderSize < domainLength + folderLength) return std::nullopt;
  parsed.domain.assign(bytes.substr(kSettingsHeaderSize, domainLength));
  parsed.defaultFolder.assign(bytes.substr(kSettingsHeaderSize + domainLength, folderLength));
  return parsed;
}

std::optional<std::string> EncodeSettings(const ServerSettings& settings) {
  if (settings.domain.size() > kMaxStoredText || settings.defaultFolder.size() > kMaxStoredText) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(kSettingsHeaderSize + settings.domain.size() + settings.defaultFolder.size());
  PutU16(bytes, kSettingsMagic);
  PutU16(bytes, settings.port);
  PutU16(bytes, settings.hostChoice);
  PutU16(bytes, settings.flags);
  PutU16(bytes, static_cast<std::uint16_t>(settings.domain.size()));
  PutU16(bytes, static_cast<std::uint16_t>(settings.defaultFolder.size()));
  bytes.append(settings.domain);
  bytes.append(settings.defaultFolder);
  return bytes;
}

int LoadSettings(const StoredFiles& files, ServerSettings& settings) {
  settings = ServerSettings{};
  bool readFailed = false;
  const std::optional<std::string> bytes = ReadWholeFile(files.Settings().c_str(), readFailed);
  if (!bytes) return 0;
  std::optional<ServerSettings> parsed = ParseSettings(*bytes);
  if (!parsed) return 0;
  settings = std::move(*parsed);
  return 1;
}

int SaveSettings(const StoredFiles& files, ServerSettings& settings, platform::FileError* error) {
  const std::optional<std::string> bytes = EncodeSettings(settings);
  if (!bytes) return 0;
  settings.magic = kSettingsMagic;
  return ReplaceWith(files.Settings().c_str(), *bytes, files.faults, error) ? 1 : 0;
}

}  // namespace qc
