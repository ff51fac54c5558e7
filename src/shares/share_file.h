// The file that keeps the share list between runs, "shared.cfg" in the stored files'
// directory: one record per share in registry order, each a 6-byte header
// (virtual path length, physical path length, low 16 flag bits; little-endian) and the two
// paths.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shares/settings_file.h"
#include "shares/share_registry.h"

namespace qc {

struct ShareRecord {
  std::string virtualPath;
  std::string physicalPath;
  std::uint16_t flags = 0;
};

struct ParsedShares {
  std::vector<ShareRecord> records;
  // Where the last whole record ends; less than the size of the bytes when the last
  // record was cut short or the file is damaged.
  std::size_t wholeRecordsEnd = 0;
  // What follows the whole records is not the start of one record that an interrupted
  // append left (a header, perhaps part of its paths), but damage: later records behind a
  // length that runs past the end, or a record whose path holds a NUL byte. No path ever
  // holds one, while every header stored since the first version does (the high byte of
  // its flags, and of any length under 256): a record read out of step shows it.
  bool damaged = false;
};

// Every whole record in `bytes`, up to the first one cut short or damaged.
ParsedShares ParseShareRecords(std::string_view bytes);
// Appends one record to `out`; false (and `out` unchanged) when a path is longer than its
// 16-bit length can describe.
bool EncodeShareRecord(std::string& out, std::string_view virtualPath,
                       std::string_view physicalPath, std::uint32_t flags);

enum class ShareFileWrite { Written, Failed };

// What a load found wrong with the file, for the caller to tell the user once.
struct ShareFileDamage {
  bool found = false;
  // Where the file's bytes as they were are kept (beside it, "shared.cfg.damaged", then
  // numbered names; never one that exists). Empty when no copy could be made: the file is
  // then left as it is.
  std::string keptAs;
};

// Replaces the registry's shares by the file's. 0 when the file cannot be opened, else 1.
// A record cut short at the end (an interrupted append) is dropped and cut off the file,
// so that the next append starts a readable record. A damaged file loads its whole
// records up to the damage, and is cut there only once its bytes are kept beside it;
// `damage` (when given) says so.
int LoadShares(const StoredFiles& files, ShareRegistry& registry,
               ShareFileDamage* damage = nullptr);
// One record at the end of the file, on the disk when it returns. On failure the file
// keeps its previous records.
[[nodiscard]] ShareFileWrite AppendShareRecord(const StoredFiles& files, const Share& share);
// The whole file anew from the registry, in registry order. On failure the previous file
// stays.
[[nodiscard]] ShareFileWrite RewriteShareFile(const StoredFiles& files, ShareRegistry& registry);

}  // namespace qc
