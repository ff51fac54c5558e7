// The file that keeps the share list between runs, "shared.cfg", opened by bare name in
// the current directory: one record per share in registry order, each a 6-byte header
// (virtual path length, physical path length, low 16 flag bits; little-endian) and the two
// paths.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shares/share_registry.h"

namespace qc {

inline constexpr char kSharesFileName[] = "shared.cfg";

struct ShareRecord {
  std::string virtualPath;
  std::string physicalPath;
  std::uint16_t flags = 0;
};

struct ParsedShares {
  std::vector<ShareRecord> records;
  // Where the last whole record ends; less than the size of the bytes when the last
  // record was cut short.
  std::size_t wholeRecordsEnd = 0;
};

// Every whole record in `bytes`, up to the first one cut short.
ParsedShares ParseShareRecords(std::string_view bytes);
// Appends one record to `out`; false (and `out` unchanged) when a path is longer than its
// 16-bit length can describe.
bool EncodeShareRecord(std::string& out, std::string_view virtualPath,
                       std::string_view physicalPath, std::uint32_t flags);

enum class ShareFileWrite { Written, Failed };

// Replaces the registry's shares by the file's. 0 when the file cannot be opened, else 1.
// A record cut short at the end (an interrupted append) is dropped and cut off the file,
// so that the next append starts a readable record.
int LoadShares(ShareRegistry& registry);
// One record at the end of the file. On failure the file keeps its previous records.
[[nodiscard]] ShareFileWrite AppendShareRecord(const Share& share);
// The whole file anew from the registry, in registry order. On failure the previous file
// stays. `fileName` is the bare name (the current directory) unless the caller may run
// while the current directory is elsewhere (SharesFileIn).
[[nodiscard]] ShareFileWrite RewriteShareFile(ShareRegistry& registry,
                                              const std::string& fileName = kSharesFileName);
// "shared.cfg" in `directory`, whatever the current directory is when it is opened.
std::string SharesFileIn(const std::string& directory);

}  // namespace qc
