#include "shares/share_defaults.h"

#include "platform/file.h"
#include "shares/stored_bytes.h"

namespace qc {

namespace {
constexpr std::string_view kDefaultsMark = "QCN1";
constexpr std::size_t kDefaultsSize = 4 + 8 + 8 + 4;

// Up to 9 digits, nothing else: none for anything longer or not a number.
std::optional<std::int64_t> DefaultDigits(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

struct LifetimeUnit {
  char letter;
  std::int64_t seconds;
};
// Largest first, for LifetimeText.
constexpr LifetimeUnit kLifetimeUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}};
}  // namespace

std::optional<std::uint64_t> ParseDefaultDownloads(const std::string& text) {
  if (text.empty()) return 0;
  const std::optional<std::int64_t> n = DefaultDigits(text);
  if (!n) return std::nullopt;
  return static_cast<std::uint64_t>(*n);
}

std::optional<std::int64_t> ParseLifetime(const std::string& text) {
  if (text.empty() || text == "0") return 0;
  const std::string_view number = std::string_view(text).substr(0, text.size() - 1);
  for (const LifetimeUnit& unit : kLifetimeUnits) {
    if (text.back() != unit.letter) continue;
    const std::optional<std::int64_t> n = DefaultDigits(number);
    // 9 digits of days cannot overflow: 10^9 * 86400 < 2^63.
    if (!n || *n * unit.seconds > kMaxShareLifetime) return std::nullopt;
    return *n * unit.seconds;
  }
  return std::nullopt;
}

std::string LifetimeText(std::int64_t seconds) {
  if (seconds <= 0) return "0";
  for (const LifetimeUnit& unit : kLifetimeUnits) {
    if (seconds % unit.seconds == 0) return std::to_string(seconds / unit.seconds) + unit.letter;
  }
  // Not written by ParseLifetime; shown in minutes, rounded up, so it never reads as none.
  return std::to_string(seconds / 60 + 1) + "m";
}

ShareLimits LimitsOfNewShare(const ShareDefaults& defaults, const ShareLimits& asked,
                             std::int64_t now) {
  ShareLimits limits = asked;
  if (limits.maxDownloads == 0) limits.maxDownloads = defaults.maxDownloads;
  if (limits.until == 0 && defaults.lifetime > 0) limits.until = now + defaults.lifetime;
  return limits;
}

std::string EncodeShareDefaults(const ShareDefaults& defaults) {
  std::string out(kDefaultsMark);
  PutU64(out, defaults.maxDownloads);
  PutU64(out, static_cast<std::uint64_t>(defaults.lifetime));
  PutU32(out, Fnv1a(out));
  return out;
}

std::optional<ShareDefaults> ParseShareDefaults(std::string_view bytes) {
  if (bytes.size() != kDefaultsSize || bytes.substr(0, kDefaultsMark.size()) != kDefaultsMark)
    return std::nullopt;
  if (GetU32(bytes.data() + kDefaultsSize - 4) != Fnv1a(bytes.substr(0, kDefaultsSize - 4)))
    return std::nullopt;
  ShareDefaults defaults;
  defaults.maxDownloads = GetU64(bytes.data() + 4);
  defaults.lifetime = static_cast<std::int64_t>(GetU64(bytes.data() + 12));
  // Whole, yet not what a writer of this file writes: taken as damage rather than as an
  // end time in the past or beyond the clock.
  if (defaults.lifetime < 0 || defaults.lifetime > kMaxShareLifetime) return std::nullopt;
  return defaults;
}

DefaultsLoad LoadShareDefaults(const StoredFiles& files, ShareDefaults& defaults) {
  defaults = ShareDefaults{};
  bool readFailed = false;
  const std::optional<std::string> bytes = ReadWholeFile(files.Defaults().c_str(), readFailed);
  if (!bytes) return DefaultsLoad::Missing;
  const std::optional<ShareDefaults> read = readFailed ? std::nullopt : ParseShareDefaults(*bytes);
  if (!read) return DefaultsLoad::Damaged;
  defaults = *read;
  return DefaultsLoad::Loaded;
}

bool StoreShareDefaults(const StoredFiles& files, const ShareDefaults& defaults,
                        platform::FileError* error) {
  return ReplaceWith(files.Defaults().c_str(), EncodeShareDefaults(defaults), files.faults, error);
}

SettingsStoreResult StoreSettingsChange(const StoredFiles& files, ServerSettings* settings,
                                        const ShareDefaults* defaults,
                                        const std::optional<ShareDefaults>& previous) {
  SettingsStoreResult result;
  // The defaults first: they are the file that can be put back when common.cfg then fails.
  if (defaults && !StoreShareDefaults(files, *defaults, &result.error)) {
    result.outcome = SettingsStore::NothingChanged;
    result.failedFile = files.Defaults();
    return result;
  }
  if (!settings || SaveSettings(files, *settings, &result.error) != 0) return result;
  result.failedFile = files.Settings();
  result.outcome = SettingsStore::NothingChanged;
  if (defaults) {
    bool restored = true;
    if (previous) {
      restored = StoreShareDefaults(files, *previous);
    } else {
      platform::RemoveFile(files.Defaults());
    }
    if (!restored) result.outcome = SettingsStore::OnlyDefaultsStored;
  }
  return result;
}

}  // namespace qc
