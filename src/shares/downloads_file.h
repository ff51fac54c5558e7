// The file that keeps each share's completed downloads and its limits between runs,
// "downloads.cfg" beside shared.cfg. shared.cfg stays as it was, so an older version
// reads it unchanged; a share is found again here by its virtual and physical paths.
// The file starts with "QCD1"; then one record per share that has a count or a limit:
// the two paths' 16-bit lengths, the paths, the count (64 bits), the last download's time
// (signed 64) and IPv4 address (32), the download limit (64), the end time (signed 64),
// all little-endian, and a 32-bit FNV-1a sum of the record's bytes before it. A damaged
// record ends the reading: what follows loses its counts, never a share (withdrawals live
// in shared.cfg).
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "shares/share_file.h"
#include "shares/share_registry.h"
#include "shares/stored_files.h"

namespace qc {

struct DownloadRecord {
  std::string virtualPath;
  std::string physicalPath;
  DownloadTally tally;
  ShareLimits limits;
};

// Every whole record in `bytes` up to the first damaged or cut one; none without the mark.
std::vector<DownloadRecord> ParseDownloadRecords(std::string_view bytes);
// The file's bytes for `records`; a record whose path is too long for its length is left
// out.
std::string EncodeDownloadRecords(const std::vector<DownloadRecord>& records);

// Gives the registry's shares the counts and limits the file holds for them (each record
// to the first share with its two paths that has none yet). False when the file exists but
// held damage (what came before it is used).
bool LoadDownloads(const StoredFiles& files, ShareRegistry& registry);
// The whole file anew from the registry's shares that have a count or a limit; durable,
// readable by the user alone. On failure the previous file stays.
[[nodiscard]] ShareFileWrite StoreDownloads(const StoredFiles& files, ShareRegistry& registry);

}  // namespace qc
