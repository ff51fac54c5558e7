#include "shares/share_file.h"

#include <utility>

#include "platform/directory.h"
#include "platform/file.h"
#include "shares/stored_bytes.h"

namespace qc {

namespace {
constexpr std::size_t kRecordHeaderSize = 6;
// Copies of damaged files are numbered up to this; a folder that already holds this many
// is not searched further, and the damaged file is left as it is.
constexpr int kMaxDamagedCopies = 1000;

bool HoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Writes `bytes` to the first free name of "shared.cfg.damaged", "shared.cfg.damaged.2",
// ..., beside it, created exclusively so that no earlier copy is ever overwritten, and on
// the disk before it returns. The name the copy got, or empty when none could be made.
std::optional<std::string> KeepDamagedCopy(const StoredFiles& files, const std::string& bytes) {
  const std::string base = files.sharesName + ".damaged";
  for (int number = 1; number <= kMaxDamagedCopies; ++number) {
    const std::string name = number == 1 ? base : base + "." + std::to_string(number);
    const std::string path = files.PathOf(name);
    platform::File copy = platform::File::CreateNew(path, files.faults);
    if (!copy.IsOpen()) {
      if (platform::FileExists(path)) continue;
      return std::nullopt;
    }
    const bool written = copy.Write(bytes.data(), bytes.size()) && copy.Sync();
    copy.Close();
    if (!written || !platform::SyncFolderOf(path, files.faults)) {
      platform::RemoveFile(path);
      return std::nullopt;
    }
    return name;
  }
  return std::nullopt;
}
}  // namespace

ParsedShares ParseShareRecords(std::string_view bytes) {
  ParsedShares parsed;
  std::size_t at = 0;
  // A record cut short anywhere (an interrupted append) is dropped with nothing after it.
  while (bytes.size() - at >= kRecordHeaderSize) {
    const std::size_t virtualLength = GetU16(bytes.data() + at);
    const std::size_t physicalLength = GetU16(bytes.data() + at + 2);
    const std::uint16_t flags = GetU16(bytes.data() + at + 4);
    const std::size_t texts = at + kRecordHeaderSize;
    if (bytes.size() - texts < virtualLength + physicalLength) break;
    const std::string_view virtualPath = bytes.substr(texts, virtualLength);
    const std::string_view physicalPath = bytes.substr(texts + virtualLength, physicalLength);
    if (HoldsNul(virtualPath) || HoldsNul(physicalPath)) {
      parsed.damaged = true;
      break;
    }
    parsed.records.push_back({std::string(virtualPath), std::string(physicalPath), flags});
    at = texts + virtualLength + physicalLength;
  }
  parsed.wholeRecordsEnd = at;
  // The paths of a record an append left unfinished hold no NUL byte; a NUL byte there
  // is a later record's header behind a damaged length.
  if (!parsed.damaged && bytes.size() - at > kRecordHeaderSize) {
    parsed.damaged = HoldsNul(bytes.substr(at + kRecordHeaderSize));
  }
  return parsed;
}

bool EncodeShareRecord(std::string& out, std::string_view virtualPath,
                       std::string_view physicalPath, std::uint32_t flags) {
  if (virtualPath.size() > kMaxStoredText || physicalPath.size() > kMaxStoredText) return false;
  PutU16(out, static_cast<std::uint16_t>(virtualPath.size()));
  PutU16(out, static_cast<std::uint16_t>(physicalPath.size()));
  PutU16(out, static_cast<std::uint16_t>(flags & 0xFFFF));
  out.append(virtualPath);
  out.append(physicalPath);
  return true;
}

int LoadShares(const StoredFiles& files, ShareRegistry& registry, ShareFileDamage* damage) {
  registry.ClearShares();
  bool readFailed = false;
  const std::string path = files.Shares();
  const std::optional<std::string> bytes = ReadWholeFile(path.c_str(), readFailed);
  if (!bytes) return 0;
  ParsedShares parsed = ParseShareRecords(*bytes);
  for (ShareRecord& record : parsed.records) {
    const ShareKind kind = KindOfStoredShare(record.physicalPath, record.virtualPath);
    registry.AppendShare(std::move(record.physicalPath), std::move(record.virtualPath),
                         record.flags, kind);
  }
  // The next share is appended at the end of the file: behind a cut record it would be
  // read as that record's rest and lost with it at the next start. A failed read proves
  // no cut, so it leaves the file as it is.
  if (parsed.wholeRecordsEnd < bytes->size() && !readFailed) {
    // The start of an unfinished record holds nothing that could become a share again;
    // behind damage, though, may lie whole shares that someone can still read out, so the
    // file as it was is kept before anything of it is cut.
    bool cut = true;
    if (parsed.damaged) {
      const std::optional<std::string> keptAs = KeepDamagedCopy(files, *bytes);
      cut = keptAs.has_value();
      if (damage != nullptr) *damage = {true, keptAs.value_or(std::string())};
    }
    platform::File writable;
    if (cut) writable = platform::File::OpenExclusiveWrite(path, files.faults);
    if (writable.IsOpen()) writable.Truncate(static_cast<std::int64_t>(parsed.wholeRecordsEnd));
  }
  return 1;
}

ShareFileWrite AppendShareRecord(const StoredFiles& files, const Share& share) {
  const std::string path = files.Shares();
  std::string record;
  platform::File file;
  // The whole record goes out in one write, so a failure does not leave half of it
  // between two complete ones where it can be avoided.
  if (EncodeShareRecord(record, share.virtualPath, share.physicalPath, share.flags.load())) {
    file = platform::File::OpenExclusiveWrite(path, files.faults);
  }
  const std::int64_t before = file.IsOpen() ? file.Size() : -1;
  if (before < 0 || !file.SeekToEnd() || !file.Write(record.data(), record.size()) ||
      !file.Sync()) {
    // Part of a record at the end would make the records appended after it unreadable.
    if (before >= 0) file.Truncate(before);
    return ShareFileWrite::Failed;
  }
  // The link is handed out once this returns: a share that a power cut took back would
  // leave it pointing at nothing. A file this append made needs its folder's entry too.
  if (before == 0) platform::SyncFolderOf(path, files.faults);
  return ShareFileWrite::Written;
}

ShareFileWrite RewriteShareFile(const StoredFiles& files, ShareRegistry& registry) {
  std::string bytes;
  for (const SharePtr& share : registry.Snapshot()) {
    if (!EncodeShareRecord(bytes, share->virtualPath, share->physicalPath, share->flags.load())) {
      return ShareFileWrite::Failed;
    }
  }
  return ReplaceWith(files.Shares().c_str(), bytes, files.faults) ? ShareFileWrite::Written
                                                                  : ShareFileWrite::Failed;
}

}  // namespace qc
