// The limits every new share gets unless it is given its own: a number of completed
// downloads and a lifetime, kept in "newshares.cfg" beside the other stored files.
//
// A file of their own rather than a field of common.cfg or a record of downloads.cfg:
// common.cfg's layout is read by older versions and other programs and must not grow, and
// downloads.cfg is rewritten whole from the share list at every count, by writers that
// know nothing of defaults. Here a damaged file costs the defaults alone, never a share or
// a count.
//
// The file: "QCN1", the download limit (unsigned 64, 0 none), the lifetime in seconds
// (signed 64, 0 none), little-endian, then a 32-bit FNV-1a sum of the bytes before it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shares/settings_file.h"
#include "shares/share_registry.h"
#include "shares/stored_files.h"

namespace qc {

struct ShareDefaults {
  std::uint64_t maxDownloads = 0;  // 0: none
  std::int64_t lifetime = 0;       // seconds from the share's making; 0: none
  bool Any() const { return maxDownloads != 0 || lifetime != 0; }
  bool operator==(const ShareDefaults&) const = default;
};

// The longest lifetime taken: ten years, past which a link is as good as permanent and the
// end time could leave what the system's clock can write.
inline constexpr std::int64_t kMaxShareLifetime = 3650LL * 24 * 3600;

// A download limit as -config takes it: "0" or empty for none, else 1 to 9 digits.
std::optional<std::uint64_t> ParseDefaultDownloads(const std::string& text);
// A lifetime: a whole number and its unit, "m" (minutes), "h" (hours) or "d" (days), as
// "90m", "24h", "7d"; "0" (with or without a unit) or empty for none. None for anything
// else and for more than kMaxShareLifetime.
std::optional<std::int64_t> ParseLifetime(const std::string& text);
// `seconds` in the largest unit that writes it whole ("7d", "36h", "90m"), "0" for none;
// ParseLifetime reads it back.
std::string LifetimeText(std::int64_t seconds);

// The limits of a share made at `now` (Unix seconds): each one the command gave (`asked`),
// else the default's.
ShareLimits LimitsOfNewShare(const ShareDefaults& defaults, const ShareLimits& asked,
                             std::int64_t now);

std::string EncodeShareDefaults(const ShareDefaults& defaults);
// None for bytes that are not one whole record with its sum.
std::optional<ShareDefaults> ParseShareDefaults(std::string_view bytes);

enum class DefaultsLoad { Missing, Loaded, Damaged };
// Missing and Damaged leave `defaults` at none; a damaged file is left as it is.
DefaultsLoad LoadShareDefaults(const StoredFiles& files, ShareDefaults& defaults);
// Replaces the file durably, readable by the user alone; on failure the previous file stays.
bool StoreShareDefaults(const StoredFiles& files, const ShareDefaults& defaults,
                        platform::FileError* error = nullptr);

// What storing a change of the settings and of the defaults came to.
enum class SettingsStore {
  Stored,              // every file given was written
  NothingChanged,      // a write failed and every file holds what it held before
  OnlyDefaultsStored,  // common.cfg failed and newshares.cfg could not be put back
};
struct SettingsStoreResult {
  SettingsStore outcome = SettingsStore::Stored;
  std::string failedFile;     // the file whose write failed (full path)
  platform::FileError error;  // the system's word on it
};
// Stores `defaults` and then `settings` (each only when given) as one change: when
// common.cfg cannot be written, newshares.cfg goes back to `previous` (removed when there
// was none), so a failure changes nothing, or at worst the defaults alone.
SettingsStoreResult StoreSettingsChange(const StoredFiles& files, ServerSettings* settings,
                                        const ShareDefaults* defaults,
                                        const std::optional<ShareDefaults>& previous);

}  // namespace qc
