// A shared folder served as one zip archive that behaves like a file: its length is known
// from the folder's listing before any file is read, any byte range of it can be sent on
// its own, and the same folder gives the same bytes on every request and after a restart.
//
// Layout choices:
// - Entries are stored (method 0): files people share are mostly compressed already, and
//   only stored entries give a length known in advance.
// - The folder itself is the top directory; every folder has an entry of its own (empty
//   ones survive), before what it holds, in the listing's order (each folder's entries
//   sorted by the bytes of their names). Names use forward slashes; a name that is valid
//   UTF-8 (on Windows every name, converted from the wide names) carries the UTF-8 flag
//   (bit 11). A native name that is not UTF-8 goes out as its bytes without the flag, so a
//   reader takes it as code page 437 rather than failing on it.
// - CRC-32 and sizes follow each file's data in a data descriptor (bit 3; the local header
//   holds zeros there), never in the local header. A first download computes every CRC as
//   the bytes go out and reads each file once; with the CRC in the local header it would
//   have to read every file twice (the CRC before the header, then the data), and a range
//   that starts after an entry's header would still need that CRC for the central
//   directory. With descriptors a range that ends inside an entry's data needs no CRC at
//   all, and one that starts inside it continues from what the cache knows (below).
//   Readers that take the central directory (unzip, 7-Zip, Windows Explorer, Python's
//   zipfile, libarchive) handle stored entries with descriptors; streaming readers that
//   refuse them (Java's ZipInputStream) are the cost.
// - Times: the DOS date and time in local time (what Explorer and unzip show), and the
//   extended-timestamp extra field (0x5455) with the modification time in UTC seconds,
//   which unzip and 7-Zip restore exactly. Nothing in the archive depends on the request.
// - Zip64: an entry of 0xFFFFFFFF bytes or more carries a Zip64 extra field in its local
//   header (sizes 0 there, as with bit 3) and 8-byte sizes in its descriptor; a central
//   header carries a Zip64 extra field with each of its sizes and local-header offset that
//   32 bits cannot hold; a Zip64 end record and locator precede the end record when the
//   entries reach 65,535 or the central directory's size or offset needs 64 bits, the end
//   record then holding 0xFFFF / 0xFFFFFFFF where its fields overflow.
// - Made by Unix (so unzip restores the modes: 0644, 0755 for executable files natively,
//   0755 for folders, which also carry the MS-DOS directory attribute).
//
// CRCs: a CrcCache shared by every request for the share keeps, per file version (the
// relative path, size, modification time and identity), the CRC of as many leading bytes
// as any request has read. A range that needs an entry's CRC (its descriptor or its
// central header lies in the range) continues from there; what is still missing is read
// once. A download cut off in the middle of an entry therefore resumes without reading
// that entry's start again.
//
// Changes: every file is opened and its version compared with the listing's before any of
// its bytes go out, and again after; a file that vanished, shrank, changed its time or
// identity, or cannot be read fails the send, so the caller ends the connection early: a
// client never receives a complete-looking archive with wrong bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "platform/folder_listing.h"
#include "platform/local_time.h"

namespace qc {

// CRC-32 (the zip polynomial) of `size` bytes continued from `crc`, the CRC of what came
// before them (0 for nothing).
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The CRC of the first `length` bytes of one version of a file.
struct CrcProgress {
  std::int64_t length = 0;
  std::uint32_t crc = 0;
};

// What every request for one folder share knows of its files' CRCs. Safe to use from any
// number of threads at once.
class CrcCache {
 public:
  // What is known of this version of the file at `path` (length 0: nothing).
  CrcProgress Find(const std::string& path, const platform::FileVersion& version) const;
  // Keeps `progress` unless as much is known already. Another version of the file replaces
  // what was known of the old one.
  void Remember(const std::string& path, const platform::FileVersion& version,
                CrcProgress progress);
  void Clear();
  std::size_t Count() const;

 private:
  struct Known {
    platform::FileVersion version;
    CrcProgress progress;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Known> known_;
};

// Where the archive's bytes go; the response writer hands its sink over through this.
class ArchiveSink {
 public:
  virtual ~ArchiveSink() = default;
  // Sends all `count` bytes; returns `count`, or -1 when a send failed.
  virtual long long SendAll(const char* data, long long count) = 0;
  // Sends `count` bytes of `file` from `offset` (zero-copy where the sink can); returns
  // the count that went out, less when the file ended early or a send failed.
  virtual long long SendFileRange(platform::File& file, std::int64_t offset,
                                  std::int64_t count) = 0;
};

// How a send of a range ended.
enum class ArchiveSendOutcome {
  Sent,          // every byte of the range went out
  SinkFailed,    // a send failed (the client went away); what went out before counts
  EntryChanged,  // a file no longer matches the listing, or cannot be read
  BadRange,      // the range does not lie within the archive; nothing was sent
};

struct ArchiveSendResult {
  ArchiveSendOutcome outcome = ArchiveSendOutcome::Sent;
  long long sent = 0;        // bytes that went out
  std::string changedEntry;  // with EntryChanged: the file's path in the folder
};

// Turns a moment (seconds since 1970, UTC) into the calendar fields the DOS times take.
using LocalTimeFunction = std::function<std::optional<platform::CalendarTime>(std::int64_t)>;

class ZipArchive {
 public:
  // The archive of `listing`: the layout is computed here, no file is read. Entries whose
  // name a zip cannot hold (65,535 bytes) are left out and named in LeftOut().
  explicit ZipArchive(const platform::FolderListing& listing,
                      const LocalTimeFunction& localTime = platform::LocalCalendarTime);

  // The archive's length in bytes.
  std::int64_t Size() const { return size_; }
  // A strong entity tag, quoted, derived from everything the bytes depend on: a changed
  // file (size, time, identity), a name added, removed or renamed, another time zone.
  const std::string& EntityTag() const { return entityTag_; }
  // The newest modification time of the folder, anything in it included (seconds since
  // 1970, UTC): the archive's Last-Modified.
  std::int64_t NewestModifiedSeconds() const { return newestModified_; }
  std::size_t EntryCount() const { return members_.size(); }
  bool UsesZip64() const { return zip64End_; }
  const std::vector<std::string>& LeftOut() const { return leftOut_; }

  // Sends bytes [first, first + count) of the archive to `sink`, reading the files' parts
  // from disk and writing the headers and the central directory as they fall due. Safe to
  // call from several threads at once with one cache.
  ArchiveSendResult Send(ArchiveSink& sink, std::int64_t first, std::int64_t count,
                         CrcCache& crcs) const;

 private:
  struct Member {
    std::string name;           // in the archive, the top folder first; a folder's ends in '/'
    std::size_t pathStart = 0;  // where the path in the listed folder starts in `name`
    bool isFolder = false;
    bool executable = false;
    bool utf8 = false;
    bool zip64Local = false;  // Zip64 extra in the local header, 8-byte descriptor sizes
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::optional<std::int32_t> unixTime;  // the extended timestamp, when 32 bits hold it
    platform::FileVersion version;
    std::int64_t localOffset = 0;
    std::int64_t centralOffset = 0;

    std::string Path() const;
    std::int64_t LocalHeaderSize() const;
    std::int64_t DataOffset() const { return localOffset + LocalHeaderSize(); }
    std::int64_t DescriptorSize() const;
    std::int64_t End() const { return DataOffset() + version.size + DescriptorSize(); }
    std::int64_t CentralHeaderSize() const;
  };
  friend class ArchiveSender;

  void AddMember(std::string name, std::size_t pathStart, bool isFolder, bool executable,
                 const platform::FileVersion& version, const LocalTimeFunction& localTime);
  void AppendLocalHeader(std::string& out, const Member& m) const;
  void AppendExtendedTime(std::string& out, const Member& m) const;
  void AppendDescriptor(std::string& out, const Member& m, std::uint32_t crc) const;
  void AppendCentralHeader(std::string& out, const Member& m, std::uint32_t crc) const;
  void AppendEnd(std::string& out) const;

  std::vector<Member> members_;
  std::vector<std::string> leftOut_;
  std::string root_;
  std::int64_t centralStart_ = 0;
  std::int64_t centralSize_ = 0;
  std::int64_t endStart_ = 0;
  std::int64_t size_ = 0;
  bool zip64End_ = false;
  std::int64_t newestModified_ = 0;
  std::string entityTag_;
};

}  // namespace qc
