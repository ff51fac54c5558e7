#include "shares/zip_archive.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>
#include <utility>

namespace qc {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;

constexpr std::int64_t kLocalHeaderFixedSize = 30;
constexpr std::int64_t kCentralHeaderFixedSize = 46;
constexpr std::int64_t kZip64EndSize = 56;
constexpr std::int64_t kZip64LocatorSize = 20;
constexpr std::int64_t kEndSize = 22;
// Extra fields: the extended timestamp (id, size, flags, the modification time) and the
// Zip64 field's header (id, size) before its 8-byte values.
constexpr std::int64_t kExtendedTimeSize = 9;
constexpr std::int64_t kExtraHeaderSize = 4;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kExtendedTimeId = 0x5455;
constexpr char kExtendedTimeHasModified = 1;

// What 32 and 16 bits cannot hold (the values themselves are the Zip64 markers).
constexpr std::int64_t kMax32 = 0xFFFFFFFF;
constexpr std::int64_t kMax16 = 0xFFFF;
constexpr std::size_t kMaxNameLength = 0xFFFF;

// Unix (3) in the high byte, so readers apply the modes in the external attributes; 4.5,
// the version that knows Zip64.
constexpr std::uint16_t kMadeBy = (3 << 8) | 45;
constexpr std::uint16_t kVersionNeeded = 20;  // folders, data descriptors
constexpr std::uint16_t kVersionNeededZip64 = 45;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint32_t kFileMode = 0100644;
constexpr std::uint32_t kExecutableMode = 0100755;
constexpr std::uint32_t kFolderMode = 040755;
constexpr std::uint32_t kMsDosFolder = 0x10;

// Headers and small files are gathered into sends of about this size: one send per entry
// would cost a system call per header of a folder of many small files.
constexpr std::size_t kGatherBytes = std::size_t{256} * 1024;
// A run of file data at least this long goes through the sink's file send (zero-copy
// natively) when its CRC is not needed; shorter runs are read into the gathered send.
constexpr std::int64_t kFileSendRun = std::int64_t{64} * 1024;
// Reads for CRCs and for data sent through the gathered path take at most this much: the
// response writer's piece size, large enough that a read costs little per byte.
constexpr std::size_t kReadBytes = std::size_t{1024} * 1024;
// The cache forgets everything rather than grow past this many files (about 100 MB with
// long paths); every CRC can be read again.
constexpr std::size_t kMaxCachedFiles = std::size_t{1} << 20;
// Changes whenever the layout does, so that no tag of an older layout matches.
constexpr std::string_view kLayoutVersion = "quillcast-zip-1";

struct CrcTables {
  std::uint32_t t[16][256];
};

// Slicing by 16: sixteen bytes per step through sixteen tables of the reflected
// polynomial, about 1.4 times the speed of eight (docs/PERFORMANCE.md).
constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables.t[0][i] = c;
  }
  for (int i = 0; i < 256; ++i) {
    for (int s = 1; s < 16; ++s) {
      tables.t[s][i] = (tables.t[s - 1][i] >> 8) ^ tables.t[0][tables.t[s - 1][i] & 0xFF];
    }
  }
  return tables;
}
constexpr CrcTables kCrcTables = MakeCrcTables();

bool SameVersion(const platform::FileVersion& a, const platform::FileVersion& b) {
  return a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
         a.modifiedNanoseconds == b.modifiedNanoseconds && a.volume == b.volume &&
         a.fileIndex == b.fileIndex;
}

void Put16(std::string& out, std::uint64_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void Put32(std::string& out, std::uint64_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, (value >> 16) & 0xFFFF);
}
void Put64(std::string& out, std::uint64_t value) {
  Put32(out, value & 0xFFFFFFFF);
  Put32(out, value >> 32);
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int more = 0;
    std::uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and what lies past U+10FFFF are not UTF-8.
    if ((more == 2 && code < 0x800) || (more == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

// The DOS fields: 2-second steps, years 1980 to 2107; earlier and later times are held at
// those ends.
void DosTimeOf(const std::optional<platform::CalendarTime>& local, std::uint16_t& time,
               std::uint16_t& date) {
  if (!local || local->year < 1980) {
    date = (1 << 5) | 1;  // 1980-01-01 00:00:00
    time = 0;
    return;
  }
  if (local->year > 2107) {
    date = static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31);
    time = static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29);
    return;
  }
  date = static_cast<std::uint16_t>(((local->year - 1980) << 9) | (local->month << 5) | local->day);
  time = static_cast<std::uint16_t>((local->hour << 11) | (local->minute << 5) |
                                    (std::min(local->second, 59) / 2));
}

// FNV-1a, 64 bits: a change of any one byte always changes it.
class TagHash {
 public:
  void Add(std::string_view bytes) {
    AddNumber(bytes.size());
    for (char c : bytes) Byte(static_cast<unsigned char>(c));
  }
  void AddNumber(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) Byte(static_cast<unsigned char>((value >> (8 * i)) & 0xFF));
  }
  std::uint64_t Value() const { return hash_; }

 private:
  void Byte(unsigned char b) {
    hash_ ^= b;
    hash_ *= 0x100000001B3ull;
  }
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

void AppendHex(std::string& out, std::uint64_t value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, 16);
  out.append(digits, result.ptr);
}

}  // namespace

namespace {
std::uint32_t Load32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
  const auto& t = kCrcTables.t;
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  while (size >= 16) {
    const std::uint32_t a = crc ^ Load32(p);
    const std::uint32_t b = Load32(p + 4);
    const std::uint32_t c = Load32(p + 8);
    const std::uint32_t d = Load32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    size -= 16;
  }
  while (size-- > 0) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

CrcProgress CrcCache::Find(const std::string& path, const platform::FileVersion& version) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = known_.find(path);
  if (it == known_.end() || !SameVersion(it->second.version, version)) return {};
  return it->second.progress;
}

void CrcCache::Remember(const std::string& path, const platform::FileVersion& version,
                        CrcProgress progress) {
  if (progress.length <= 0) return;
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = known_.find(path);
  if (it == known_.end()) {
    if (known_.size() >= kMaxCachedFiles) known_.clear();
    known_.emplace(path, Known{version, progress});
    return;
  }
  if (!SameVersion(it->second.version, version)) {
    it->second = Known{version, progress};
  } else if (progress.length > it->second.progress.length) {
    it->second.progress = progress;
  }
}

void CrcCache::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  known_.clear();
}

std::size_t CrcCache::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return known_.size();
}

// --- Layout ------------------------------------------------------------------------------

std::string ZipArchive::Member::Path() const { return name.substr(pathStart); }

std::int64_t ZipArchive::Member::LocalHeaderSize() const {
  return kLocalHeaderFixedSize + static_cast<std::int64_t>(name.size()) +
         (unixTime ? kExtendedTimeSize : 0) + (zip64Local ? kExtraHeaderSize + 16 : 0);
}

std::int64_t ZipArchive::Member::DescriptorSize() const {
  if (isFolder) return 0;
  return zip64Local ? 24 : 16;
}

std::int64_t ZipArchive::Member::CentralHeaderSize() const {
  const std::int64_t zip64Values =
      (version.size >= kMax32 ? 16 : 0) + (localOffset >= kMax32 ? 8 : 0);
  return kCentralHeaderFixedSize + static_cast<std::int64_t>(name.size()) +
         (unixTime ? kExtendedTimeSize : 0) +
         (zip64Values > 0 ? kExtraHeaderSize + zip64Values : 0);
}

ZipArchive::ZipArchive(const platform::FolderListing& listing, const LocalTimeFunction& localTime)
    : root_(listing.root) {
  const std::string top = listing.name + "/";
  members_.reserve(listing.entries.size() + 1);
  AddMember(top, top.size(), true, false, listing.rootVersion, localTime);
  for (const platform::FolderEntry& entry : listing.entries) {
    std::string name = top + entry.path;
    if (entry.isFolder) name.push_back('/');
    if (name.size() > kMaxNameLength) {
      leftOut_.push_back(entry.path);
      continue;
    }
    AddMember(std::move(name), top.size(), entry.isFolder, entry.executable, entry.version,
              localTime);
  }

  std::int64_t at = 0;
  for (Member& m : members_) {
    m.localOffset = at;
    at = m.End();
  }
  centralStart_ = at;
  for (Member& m : members_) {
    m.centralOffset = at;
    at += m.CentralHeaderSize();
  }
  centralSize_ = at - centralStart_;
  endStart_ = at;
  zip64End_ = static_cast<std::int64_t>(members_.size()) >= kMax16 || centralSize_ >= kMax32 ||
              centralStart_ >= kMax32;
  size_ = endStart_ + (zip64End_ ? kZip64EndSize + kZip64LocatorSize : 0) + kEndSize;

  // The tag covers everything the bytes depend on but the files' contents, which the
  // versions stand for (as a single file's tag does).
  TagHash hash;
  hash.Add(kLayoutVersion);
  newestModified_ = listing.rootVersion.modifiedSeconds;
  for (const Member& m : members_) {
    hash.Add(m.name);
    hash.AddNumber((m.isFolder ? 1u : 0u) | (m.executable ? 2u : 0u));
    hash.AddNumber(static_cast<std::uint64_t>(m.version.size));
    hash.AddNumber(static_cast<std::uint64_t>(m.version.modifiedSeconds));
    hash.AddNumber(static_cast<std::uint64_t>(m.version.modifiedNanoseconds));
    hash.AddNumber(m.version.volume);
    hash.AddNumber(m.version.fileIndex);
    hash.AddNumber((static_cast<std::uint64_t>(m.dosDate) << 16) | m.dosTime);
    newestModified_ = std::max(newestModified_, m.version.modifiedSeconds);
  }
  entityTag_ = "\"z";
  AppendHex(entityTag_, static_cast<std::uint64_t>(size_));
  entityTag_.push_back('-');
  AppendHex(entityTag_, hash.Value());
  entityTag_.push_back('"');
}

void ZipArchive::AddMember(std::string name, std::size_t pathStart, bool isFolder, bool executable,
                           const platform::FileVersion& version,
                           const LocalTimeFunction& localTime) {
  Member m;
  m.utf8 = IsValidUtf8(name);
  m.name = std::move(name);
  m.pathStart = pathStart;
  m.isFolder = isFolder;
  m.executable = executable;
  m.version = version;
  if (isFolder) m.version.size = 0;
  m.zip64Local = m.version.size >= kMax32;
  DosTimeOf(localTime(version.modifiedSeconds), m.dosTime, m.dosDate);
  if (version.modifiedSeconds >= std::numeric_limits<std::int32_t>::min() &&
      version.modifiedSeconds <= std::numeric_limits<std::int32_t>::max()) {
    m.unixTime = static_cast<std::int32_t>(version.modifiedSeconds);
  }
  members_.push_back(std::move(m));
}

namespace {
std::uint16_t VersionNeeded(bool zip64) { return zip64 ? kVersionNeededZip64 : kVersionNeeded; }
}  // namespace

// The same in the local and the central header: only the modification time.
void ZipArchive::AppendExtendedTime(std::string& out, const Member& m) const {
  if (!m.unixTime) return;
  Put16(out, kExtendedTimeId);
  Put16(out, kExtendedTimeSize - kExtraHeaderSize);
  out.push_back(kExtendedTimeHasModified);
  Put32(out, static_cast<std::uint32_t>(*m.unixTime));
}

void ZipArchive::AppendLocalHeader(std::string& out, const Member& m) const {
  Put32(out, kLocalHeaderSignature);
  Put16(out, VersionNeeded(m.zip64Local || m.localOffset >= kMax32));
  Put16(out, (m.isFolder ? 0 : kFlagDataDescriptor) | (m.utf8 ? kFlagUtf8 : 0));
  Put16(out, 0);  // stored
  Put16(out, m.dosTime);
  Put16(out, m.dosDate);
  // CRC and sizes follow the data.
  Put32(out, 0);
  Put32(out, m.zip64Local ? kMax32 : 0);
  Put32(out, m.zip64Local ? kMax32 : 0);
  Put16(out, m.name.size());
  Put16(out,
        static_cast<std::uint64_t>(m.LocalHeaderSize() - kLocalHeaderFixedSize) - m.name.size());
  out.append(m.name);
  if (m.zip64Local) {
    Put16(out, kZip64ExtraId);
    Put16(out, 16);
    Put64(out, 0);
    Put64(out, 0);
  }
  AppendExtendedTime(out, m);
}

void ZipArchive::AppendDescriptor(std::string& out, const Member& m, std::uint32_t crc) const {
  Put32(out, kDescriptorSignature);
  Put32(out, crc);
  const auto size = static_cast<std::uint64_t>(m.version.size);
  if (m.zip64Local) {
    Put64(out, size);
    Put64(out, size);
  } else {
    Put32(out, size);
    Put32(out, size);
  }
}

void ZipArchive::AppendCentralHeader(std::string& out, const Member& m, std::uint32_t crc) const {
  const bool bigSize = m.version.size >= kMax32;
  const bool bigOffset = m.localOffset >= kMax32;
  const auto size = static_cast<std::uint64_t>(m.version.size);
  Put32(out, kCentralHeaderSignature);
  Put16(out, kMadeBy);
  Put16(out, VersionNeeded(m.zip64Local || bigOffset));
  Put16(out, (m.isFolder ? 0 : kFlagDataDescriptor) | (m.utf8 ? kFlagUtf8 : 0));
  Put16(out, 0);  // stored
  Put16(out, m.dosTime);
  Put16(out, m.dosDate);
  Put32(out, crc);
  Put32(out, bigSize ? kMax32 : size);
  Put32(out, bigSize ? kMax32 : size);
  Put16(out, m.name.size());
  Put16(out, static_cast<std::uint64_t>(m.CentralHeaderSize() - kCentralHeaderFixedSize) -
                 m.name.size());
  Put16(out, 0);  // comment
  Put16(out, 0);  // disk
  Put16(out, 0);  // internal attributes
  const std::uint32_t mode = m.isFolder ? kFolderMode : m.executable ? kExecutableMode : kFileMode;
  Put32(out, (static_cast<std::uint64_t>(mode) << 16) | (m.isFolder ? kMsDosFolder : 0));
  Put32(out, bigOffset ? kMax32 : static_cast<std::uint64_t>(m.localOffset));
  out.append(m.name);
  if (bigSize || bigOffset) {
    Put16(out, kZip64ExtraId);
    Put16(out, (bigSize ? 16 : 0) + (bigOffset ? 8 : 0));
    if (bigSize) {
      Put64(out, size);
      Put64(out, size);
    }
    if (bigOffset) Put64(out, static_cast<std::uint64_t>(m.localOffset));
  }
  AppendExtendedTime(out, m);
}

void ZipArchive::AppendEnd(std::string& out) const {
  const auto count = static_cast<std::uint64_t>(members_.size());
  if (zip64End_) {
    Put32(out, kZip64EndSignature);
    Put64(out, kZip64EndSize - 12);  // what follows this field
    Put16(out, kMadeBy);
    Put16(out, kVersionNeededZip64);
    Put32(out, 0);  // this disk
    Put32(out, 0);  // the disk the central directory starts on
    Put64(out, count);
    Put64(out, count);
    Put64(out, static_cast<std::uint64_t>(centralSize_));
    Put64(out, static_cast<std::uint64_t>(centralStart_));
    Put32(out, kZip64LocatorSignature);
    Put32(out, 0);
    Put64(out, static_cast<std::uint64_t>(endStart_));
    Put32(out, 1);  // disks
  }
  Put32(out, kEndSignature);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, std::min<std::uint64_t>(count, kMax16));
  Put16(out, std::min<std::uint64_t>(count, kMax16));
  Put32(out, std::min<std::uint64_t>(static_cast<std::uint64_t>(centralSize_), kMax32));
  Put32(out, std::min<std::uint64_t>(static_cast<std::uint64_t>(centralStart_), kMax32));
  Put16(out, 0);  // comment
}

// --- Sending a range ---------------------------------------------------------------------

class ArchiveSender {
 public:
  ArchiveSender(const ZipArchive& archive, ArchiveSink& sink, CrcCache& crcs)
      : archive_(archive), sink_(sink), crcs_(crcs) {}

  ArchiveSendResult Run(std::int64_t first, std::int64_t count) {
    if (first < 0 || count < 0 || first > archive_.size_ - count) {
      return {ArchiveSendOutcome::BadRange, 0, {}};
    }
    pos_ = first;
    end_ = first + count;
    if (SendEntries() && SendCentralDirectory() && SendEnd()) Flush();
    result_.sent = sent_;
    return result_;
  }

 private:
  using Member = ZipArchive::Member;

  bool Failed() const { return result_.outcome != ArchiveSendOutcome::Sent; }

  bool Fail(ArchiveSendOutcome outcome, const Member* m = nullptr) {
    if (!Failed()) {
      result_.outcome = outcome;
      if (m != nullptr) result_.changedEntry = m->Path();
    }
    return false;
  }

  bool Flush() {
    if (pending_.empty()) return true;
    const auto size = static_cast<long long>(pending_.size());
    if (sink_.SendAll(pending_.data(), size) != size) return Fail(ArchiveSendOutcome::SinkFailed);
    sent_ += size;
    pending_.clear();
    return true;
  }

  bool Emit(const char* data, std::size_t size) {
    if (size >= kGatherBytes) {
      if (!Flush()) return false;
      if (sink_.SendAll(data, static_cast<long long>(size)) != static_cast<long long>(size)) {
        return Fail(ArchiveSendOutcome::SinkFailed);
      }
      sent_ += static_cast<long long>(size);
      return true;
    }
    if (pending_.capacity() < kGatherBytes) pending_.reserve(kGatherBytes);
    pending_.append(data, size);
    return pending_.size() < kGatherBytes || Flush();
  }

  // The part of `bytes` (which start at archive offset `start`) that lies in the range.
  bool EmitPart(const std::string& bytes, std::int64_t start) {
    const std::int64_t stop = std::min(end_, start + static_cast<std::int64_t>(bytes.size()));
    if (pos_ >= stop) return true;
    if (!Emit(bytes.data() + (pos_ - start), static_cast<std::size_t>(stop - pos_))) return false;
    pos_ = stop;
    return true;
  }

  char* ReadBuffer(std::int64_t wanted) {
    const auto size = static_cast<std::size_t>(
        std::min<std::int64_t>(wanted, static_cast<std::int64_t>(kReadBytes)));
    if (readBuffer_.size() < size) readBuffer_.resize(size);
    return readBuffer_.data();
  }

  bool Open(const Member& m, platform::File& file) {
    file = platform::File::OpenSharedReadListed(archive_.root_, m.Path());
    return StillTheSame(m, file);
  }

  bool StillTheSame(const Member& m, const platform::File& file) {
    const std::optional<platform::FileVersion> now = file.IsOpen() ? file.Version() : std::nullopt;
    return (now && SameVersion(*now, m.version)) || Fail(ArchiveSendOutcome::EntryChanged, &m);
  }

  // Reads [from, to) of the file into the CRC `progress` (which holds the CRC of the file's
  // first `from` bytes), sending what is read when `send` says so.
  bool ReadSpan(const Member& m, platform::File& file, std::int64_t to, CrcProgress& progress,
                bool send) {
    if (progress.length >= to) return true;
    if (!file.Seek(progress.length)) return Fail(ArchiveSendOutcome::EntryChanged, &m);
    char* buffer = ReadBuffer(to - progress.length);
    while (progress.length < to) {
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(to - progress.length, static_cast<std::int64_t>(kReadBytes)));
      // Fewer bytes than the listing promised: the file shrank.
      if (file.Read(buffer, n) != static_cast<long long>(n)) {
        return Fail(ArchiveSendOutcome::EntryChanged, &m);
      }
      progress.crc = Crc32(progress.crc, buffer, n);
      progress.length += static_cast<std::int64_t>(n);
      if (send && !Emit(buffer, n)) return false;
    }
    return true;
  }

  // Sends [from, to) of the file without computing anything.
  bool SendPlain(const Member& m, platform::File& file, std::int64_t from, std::int64_t to) {
    if (from >= to) return true;
    if (to - from < kFileSendRun) {
      CrcProgress ignored{from, 0};
      return ReadSpan(m, file, to, ignored, true);
    }
    if (!Flush()) return false;
    const long long got = sink_.SendFileRange(file, from, to - from);
    if (got > 0) sent_ += got;
    if (got == to - from) return true;
    // Short: the file ended early (it shrank) or the client went away.
    return StillTheSame(m, file) && Fail(ArchiveSendOutcome::SinkFailed);
  }

  // The CRC of the whole file, from the cache or from what is still missing of it.
  std::optional<std::uint32_t> CrcOf(const Member& m) {
    if (m.isFolder || m.version.size == 0) return 0;
    const std::string path = m.Path();
    CrcProgress progress = crcs_.Find(path, m.version);
    if (progress.length == m.version.size) return progress.crc;
    platform::File file;
    if (!Open(m, file) || !ReadSpan(m, file, m.version.size, progress, false) ||
        !StillTheSame(m, file)) {
      return std::nullopt;
    }
    crcs_.Remember(path, m.version, progress);
    return progress.crc;
  }

  // Sends the file's bytes [from, to). With `needCrc` (the range goes on into the
  // descriptor) the file's CRC comes back in `crc`. The CRC is carried along wherever the
  // cache's knowledge reaches `from`, so that later ranges find more of it.
  bool SendData(const Member& m, std::int64_t from, std::int64_t to, bool needCrc,
                std::optional<std::uint32_t>& crc) {
    platform::File file;
    if (!Open(m, file)) return false;
    const std::string path = m.Path();
    CrcProgress progress = crcs_.Find(path, m.version);
    const bool complete = progress.length == m.version.size;
    const bool carry = !complete && (needCrc || (progress.length >= from && progress.length < to));
    bool ok;
    if (!carry) {
      ok = SendPlain(m, file, from, to);
    } else if (progress.length < from) {
      // What the cache lacks before the range is read first, for the CRC alone.
      ok = ReadSpan(m, file, from, progress, false) && ReadSpan(m, file, to, progress, true);
    } else {
      ok = SendPlain(m, file, from, progress.length) && ReadSpan(m, file, to, progress, true);
    }
    // What was read counts even when a send failed, unless the file changed meanwhile.
    const bool unchanged = StillTheSame(m, file);
    if (carry && unchanged) crcs_.Remember(path, m.version, progress);
    if (!ok || !unchanged) return false;
    if (complete) crc = progress.crc;
    if (carry && progress.length == m.version.size) crc = progress.crc;
    return true;
  }

  bool SendEntries() {
    const auto& members = archive_.members_;
    if (pos_ >= archive_.centralStart_ || pos_ >= end_) return true;
    auto it = std::upper_bound(members.begin(), members.end(), pos_,
                               [](std::int64_t p, const Member& m) { return p < m.localOffset; });
    std::string header;
    for (--it; it != members.end() && pos_ < end_; ++it) {
      const Member& m = *it;
      header.clear();
      archive_.AppendLocalHeader(header, m);
      if (!EmitPart(header, m.localOffset)) return false;
      const std::int64_t dataStart = m.DataOffset();
      const std::int64_t dataEnd = dataStart + m.version.size;
      std::optional<std::uint32_t> crc;
      if (m.version.size == 0) crc = 0;
      if (pos_ < end_ && pos_ < dataEnd) {
        const std::int64_t stop = std::min(end_, dataEnd);
        if (!SendData(m, pos_ - dataStart, stop - dataStart, end_ > dataEnd, crc)) return false;
        pos_ = stop;
      }
      if (pos_ >= end_ || m.DescriptorSize() == 0) continue;
      if (!crc) crc = CrcOf(m);
      if (!crc) return false;
      header.clear();
      archive_.AppendDescriptor(header, m, *crc);
      if (!EmitPart(header, dataEnd)) return false;
    }
    return true;
  }

  bool SendCentralDirectory() {
    const auto& members = archive_.members_;
    if (pos_ >= end_ || pos_ >= archive_.endStart_) return true;
    auto it = std::upper_bound(members.begin(), members.end(), pos_,
                               [](std::int64_t p, const Member& m) { return p < m.centralOffset; });
    std::string header;
    for (--it; it != members.end() && pos_ < end_; ++it) {
      const std::optional<std::uint32_t> crc = CrcOf(*it);
      if (!crc) return false;
      header.clear();
      archive_.AppendCentralHeader(header, *it, *crc);
      if (!EmitPart(header, it->centralOffset)) return false;
    }
    return true;
  }

  bool SendEnd() {
    if (pos_ >= end_) return true;
    std::string end;
    archive_.AppendEnd(end);
    return EmitPart(end, archive_.endStart_);
  }

  const ZipArchive& archive_;
  ArchiveSink& sink_;
  CrcCache& crcs_;
  std::int64_t pos_ = 0;
  std::int64_t end_ = 0;
  long long sent_ = 0;
  std::string pending_;
  std::vector<char> readBuffer_;
  ArchiveSendResult result_;
};

ArchiveSendResult ZipArchive::Send(ArchiveSink& sink, std::int64_t first, std::int64_t count,
                                   CrcCache& crcs) const {
  return ArchiveSender(*this, sink, crcs).Run(first, count);
}

}  // namespace qc
