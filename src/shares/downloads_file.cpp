#include "shares/downloads_file.h"

#include <cstdint>
#include <optional>

#include "platform/file.h"
#include "shares/stored_bytes.h"

namespace qc {

namespace {
constexpr std::string_view kMark = "QCD1";
// The fixed fields after the paths: count, time, address, limit, end, sum.
constexpr std::size_t kFixedSize = 8 + 8 + 4 + 8 + 8 + 4;
}  // namespace

std::vector<DownloadRecord> ParseDownloadRecords(std::string_view bytes) {
  std::vector<DownloadRecord> records;
  if (bytes.substr(0, kMark.size()) != kMark) return records;
  std::size_t at = kMark.size();
  while (bytes.size() - at >= 4) {
    const std::size_t virtualLength = GetU16(bytes.data() + at);
    const std::size_t physicalLength = GetU16(bytes.data() + at + 2);
    const std::size_t fixed = at + 4 + virtualLength + physicalLength;
    if (bytes.size() < fixed + kFixedSize) break;
    const std::string_view record = bytes.substr(at, fixed + kFixedSize - 4 - at);
    if (GetU32(bytes.data() + fixed + kFixedSize - 4) != Fnv1a(record)) break;
    DownloadRecord r;
    r.virtualPath = std::string(bytes.substr(at + 4, virtualLength));
    r.physicalPath = std::string(bytes.substr(at + 4 + virtualLength, physicalLength));
    const char* f = bytes.data() + fixed;
    r.tally.completed = GetU64(f);
    r.tally.lastTime = static_cast<std::int64_t>(GetU64(f + 8));
    r.tally.lastAddress = GetU32(f + 16);
    r.limits.maxDownloads = GetU64(f + 20);
    r.limits.until = static_cast<std::int64_t>(GetU64(f + 28));
    records.push_back(std::move(r));
    at = fixed + kFixedSize;
  }
  return records;
}

std::string EncodeDownloadRecords(const std::vector<DownloadRecord>& records) {
  std::string out(kMark);
  for (const DownloadRecord& r : records) {
    if (r.virtualPath.size() > kMaxStoredText || r.physicalPath.size() > kMaxStoredText) continue;
    const std::size_t start = out.size();
    PutU16(out, static_cast<std::uint16_t>(r.virtualPath.size()));
    PutU16(out, static_cast<std::uint16_t>(r.physicalPath.size()));
    out.append(r.virtualPath).append(r.physicalPath);
    PutU64(out, r.tally.completed);
    PutU64(out, static_cast<std::uint64_t>(r.tally.lastTime));
    PutU32(out, r.tally.lastAddress);
    PutU64(out, r.limits.maxDownloads);
    PutU64(out, static_cast<std::uint64_t>(r.limits.until));
    PutU32(out, Fnv1a(std::string_view(out).substr(start)));
  }
  return out;
}

bool LoadDownloads(const StoredFiles& files, ShareRegistry& registry) {
  bool readFailed = false;
  const std::string path = files.Downloads();
  const std::optional<std::string> bytes = ReadWholeFile(path.c_str(), readFailed);
  if (!bytes) return true;
  const std::vector<DownloadRecord> records = ParseDownloadRecords(*bytes);
  std::vector<SharePtr> shares = registry.Snapshot();
  std::vector<bool> given(shares.size(), false);
  for (const DownloadRecord& r : records) {
    for (std::size_t i = 0; i < shares.size(); ++i) {
      if (given[i] || shares[i]->virtualPath != r.virtualPath ||
          shares[i]->physicalPath != r.physicalPath) {
        continue;
      }
      shares[i]->Restore(r.tally, r.limits);
      given[i] = true;
      break;
    }
  }
  // Whether everything after the mark was read as whole records.
  return !readFailed && bytes->size() == EncodeDownloadRecords(records).size();
}

ShareFileWrite StoreDownloads(const StoredFiles& files, ShareRegistry& registry) {
  std::vector<DownloadRecord> records;
  for (const SharePtr& share : registry.Snapshot()) {
    DownloadRecord r{share->virtualPath, share->physicalPath, share->Tally(), share->Limits()};
    if (r.tally.completed == 0 && !r.limits.Any()) continue;
    records.push_back(std::move(r));
  }
  // Nothing to keep and nothing kept before: no file for a user who never counted.
  if (records.empty() && !platform::FileExists(files.Downloads())) return ShareFileWrite::Written;
  return ReplaceWith(files.Downloads().c_str(), EncodeDownloadRecords(records), files.faults)
             ? ShareFileWrite::Written
             : ShareFileWrite::Failed;
}

}  // namespace qc
