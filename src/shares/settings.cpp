#include "shares/settings.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "platform/file.h"
#include "shares/messages.h"

namespace qc {

namespace {

constexpr std::size_t kSettingsHeaderSize = 12;
constexpr std::size_t kRecordHeaderSize = 6;
// Texts are stored behind 16-bit lengths; a longer one cannot be written without
// corrupting every record after it.
constexpr std::size_t kMaxStoredText = std::numeric_limits<std::uint16_t>::max();

// Both files are rewritten through a sibling temporary file that then replaces them in one
// step, so a failed write never costs the previous file.
std::string TempNameFor(const char* fileName) { return std::string(fileName) + ".tmp"; }

void PutU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

std::uint16_t GetU16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// Reads until `size` bytes arrived or the file ended; returns the count read.
std::size_t ReadFully(platform::File& file, void* buffer, std::size_t size) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const long long got = file.Read(out + done, size - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool ReadText(platform::File& file, std::uint16_t length, std::string& text) {
  text.assign(length, '\0');
  return ReadFully(file, text.data(), length) == length;
}

// Writes `bytes` as the whole new content of `fileName`.
bool ReplaceWith(const char* fileName, const std::string& bytes) {
  // The file stays shared with nobody: while another opener holds it, the save fails as
  // a direct write to it would, instead of replacing it under that opener's feet.
  if (!platform::File::OpenExclusiveWrite(fileName).IsOpen()) return false;
  const std::string temp = TempNameFor(fileName);
  // A leftover from an interrupted save would otherwise keep its tail (no truncation).
  platform::RemoveFile(temp);
  platform::File file = platform::File::OpenExclusiveWrite(temp);
  if (!file.IsOpen()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  file.Close();
  if (!written || !platform::ReplaceFileAtomically(temp, fileName)) {
    platform::RemoveFile(temp);
    return false;
  }
  return true;
}

bool AppendRecordBytes(std::string& out, const Share& share) {
  if (share.virtualPath.size() > kMaxStoredText || share.physicalPath.size() > kMaxStoredText) {
    return false;
  }
  PutU16(out, static_cast<std::uint16_t>(share.virtualPath.size()));
  PutU16(out, static_cast<std::uint16_t>(share.physicalPath.size()));
  PutU16(out, static_cast<std::uint16_t>(share.flags.load() & 0xFFFF));
  out.append(share.virtualPath);
  out.append(share.physicalPath);
  return true;
}

}  // namespace

int LoadSettings(ServerSettings& settings) {
  settings = ServerSettings{};

  platform::File file = platform::File::OpenExclusiveRead(kSettingsFileName);
  if (!file.IsOpen()) return 0;

  unsigned char header[kSettingsHeaderSize];
  if (ReadFully(file, header, sizeof header) != sizeof header) return 0;
  ServerSettings loaded;
  loaded.magic = GetU16(header + 0);
  if (loaded.magic != kSettingsMagic) return 0;
  loaded.port = GetU16(header + 2);
  loaded.hostChoice = GetU16(header + 4);
  loaded.flags = GetU16(header + 6);
  loaded.domainLength = GetU16(header + 8);
  loaded.folderLength = GetU16(header + 10);
  // A file that ends inside its texts is as unreadable as a short header: nothing of it
  // is taken over.
  if (!ReadText(file, loaded.domainLength, loaded.domain)) return 0;
  if (!ReadText(file, loaded.folderLength, loaded.defaultFolder)) return 0;
  settings = std::move(loaded);
  return 1;
}

int SaveSettings(ServerSettings& settings) {
  // The header's lengths describe the texts that follow; a mismatch would shift them.
  if (settings.domain.size() != settings.domainLength ||
      settings.defaultFolder.size() != settings.folderLength) {
    return 0;
  }
  settings.magic = kSettingsMagic;
  std::string bytes;
  bytes.reserve(kSettingsHeaderSize + settings.domain.size() + settings.defaultFolder.size());
  PutU16(bytes, settings.magic);
  PutU16(bytes, settings.port);
  PutU16(bytes, settings.hostChoice);
  PutU16(bytes, settings.flags);
  PutU16(bytes, settings.domainLength);
  PutU16(bytes, settings.folderLength);
  bytes.append(settings.domain);
  bytes.append(settings.defaultFolder);
  return ReplaceWith(kSettingsFileName, bytes) ? 1 : 0;
}

int LoadShares(ShareRegistry& registry, std::int32_t start) {
  registry.ClearShares();

  platform::File file = platform::File::OpenExclusiveRead(kSharesFileName);
  if (!file.IsOpen()) return 0;
  if (start != 0 && !file.Seek(static_cast<std::int64_t>(start) - 1)) return 1;

  std::int64_t complete = 0;  // where the last complete record ends
  for (;;) {
    unsigned char header[kRecordHeaderSize];
    // A record cut short anywhere (an interrupted append) is dropped with nothing after it.
    if (ReadFully(file, header, sizeof header) != sizeof header) break;
    const std::uint16_t virtualLength = GetU16(header + 0);
    const std::uint16_t physicalLength = GetU16(header + 2);
    const std::uint16_t flags = GetU16(header + 4);
    std::string virtualPath;
    std::string physicalPath;
    if (!ReadText(file, virtualLength, virtualPath)) break;
    if (!ReadText(file, physicalLength, physicalPath)) break;
    registry.AppendShare(std::move(physicalPath), std::move(virtualPath), flags);
    complete += kRecordHeaderSize + virtualLength + physicalLength;
  }
  // A record cut short by a crash in the middle of an append is cut off the file as well:
  // left there, the records appended after it would be read out of step and lost.
  if (start == 0 && file.Size() > complete) {
    file.Close();
    platform::File repair = platform::File::OpenExclusiveWrite(kSharesFileName);
    if (repair.IsOpen()) repair.Truncate(complete);
  }
  return 1;
}

int AppendShareRecord(const Share& share) {
  std::string record;
  platform::File file;
  // The whole record goes out in one write, so a failure does not leave half of it
  // between two complete ones where it can be avoided.
  if (AppendRecordBytes(record, share)) file = platform::File::OpenExclusiveWrite(kSharesFileName);
  const std::int64_t before = file.IsOpen() ? file.Size() : -1;
  if (before < 0 || !file.SeekToEnd() || !file.Write(record.data(), record.size())) {
    // Part of a record at the end would make the records appended after it unreadable.
    if (before >= 0) file.Truncate(before);
    file.Close();
    messages::Show(messages::kCantWriteShareFile);
    return 0;
  }
  return 1;
}

int RewriteShareFile(ShareRegistry& registry) {
  std::string bytes;
  bool fits = true;
  for (const SharePtr& share : registry.Snapshot()) fits = fits && AppendRecordBytes(bytes, *share);
  if (!fits || !ReplaceWith(kSharesFileName, bytes)) {
    messages::Show(messages::kCantWriteShareFile);
    return 0;
  }
  return 1;
}

}  // namespace qc
