// Files as the server uses them: exclusive opens (no other opener while one is open),
// shared reading opens (other readers welcome, writers not), 64-bit sizes and offsets,
// syncs to the disk, and the faults tests hand in to make writes and syncs fail.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/native_types.h"

namespace qc::platform {

// What tells one version of a file's contents from another: the size, the last write to
// the resolution the system keeps (nanoseconds on Linux, 100 ns on Windows), and which
// file it is, so that a file replaced by another of the same size and time still differs.
// Natively also the change time, which every write sets as well and which, unlike the
// modification time, no program can set back (a copy that keeps the source's time
// still changes it).
struct FileVersion {
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;      // since 1970-01-01 00:00:00 UTC, rounded down
  std::int32_t modifiedNanoseconds = 0;  // the rest: 0 to 999,999,999
  std::uint64_t volume = 0;              // st_dev; 0 on Windows (win32/file.cpp says why)
  std::uint64_t fileIndex = 0;           // st_ino; the file index
  // st_ctim natively; 0 on Windows, where a file being served cannot be written at all
  // (its share modes keep writers out while it is open).
  std::int64_t changedSeconds = 0;
  std::int32_t changedNanoseconds = 0;

  bool operator==(const FileVersion&) const = default;
};

// What a sync is about to make durable: a file's bytes, or a folder's entries.
enum class SyncKind { File, Folder };

// The faults a disk shows to the writes and syncs handed them; empty members: the disk as
// it is, which is what production hands everywhere. Tests hand in a disk that fills up or
// fails its syncs.
struct DiskFaults {
  // Asked before each File::Write: false makes that write fail as a full disk does, after
  // half of its bytes.
  std::function<bool()> writeAllowed;
  // Asked before every sync (File::Sync, the folder syncs): false makes that sync fail as
  // a failing disk does.
  std::function<bool(SyncKind kind)> syncAllowed;

  bool WriteAllowed() const { return !writeAllowed || writeAllowed(); }
  bool SyncAllowed(SyncKind kind) const { return !syncAllowed || syncAllowed(kind); }
};

// The system's word on a file call that failed, taken where it failed: errno natively,
// GetLastError on Windows; 0 when the system said nothing.
struct FileError {
  int code = 0;
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Every open here returns without waiting, and only ever for a regular file: a FIFO, a
  // device or a folder under the name fails the open (a FIFO would otherwise hold the
  // opener until some other program opened its other end).

  // Read access, existing file only, shared with nobody: fails while any other exclusive
  // open of the same file exists (in this or another process).
  static File OpenExclusiveRead(const std::string& path);
  // Read access, existing file only, shared with other readers: several of these opens of
  // one file coexist, in this or other processes. Fails while an exclusive open of the
  // file exists, while another program has the file open for writing, and for
  // directories. Windows: share mode FILE_SHARE_READ, so writers are also kept out for as
  // long as the file stays open. POSIX: see posix/file.cpp for what can be detected.
  static File OpenSharedRead(const std::string& path);
  // As OpenSharedRead, for an entry of a folder listing (folder_listing.h): `root` and
  // `relativePath` as the listing gives them (UTF-8 on Windows, so that names no ANSI code
  // page holds open too). Natively a link in the entry's place is not followed.
  static File OpenSharedReadListed(const std::string& root, const std::string& relativePath);
  // Write access, created when missing (for the user alone: the files list the user's
  // paths), never truncated, shared with nobody. Its writes and syncs meet `faults`. A
  // failed open gives a closed File whose Error says why, as CreateNew's does.
  static File OpenExclusiveWrite(const std::string& path, const DiskFaults& faults = {});
  // Write access to a file made by this call: fails when anything already has the name (a
  // file, a folder, a link, which is never followed), so no one can slip a file or a link
  // to elsewhere in under a name chosen for it. For the user alone, shared with nobody.
  static File CreateNew(const std::string& path, const DiskFaults& faults = {});

  bool IsOpen() const;
  std::int64_t Size() const;  // -1 when unknown
  // The size and the rest of FileVersion in one system call; none when unknown.
  std::optional<FileVersion> Version() const;
  // Whether the file may have been written since `version` was taken: natively a second
  // fstat compared with it. On Windows always false without a call: a file is served only
  // through handles whose share modes refuse every writer (and every rename or delete)
  // while they are open, so it cannot change under a download.
  bool ChangedSince(const FileVersion& version) const;
  bool Seek(std::int64_t offset);
  bool SeekToEnd();
  // Returns the count read (0 at the end), or -1 on error.
  long long Read(void* buffer, std::size_t size);
  // Returns true when every byte was written; else Error says why.
  bool Write(const void* data, std::size_t size);
  // Cuts the file to `size` bytes (undoes a write that failed halfway).
  bool Truncate(std::int64_t size);
  // Returns once what was written is on the disk (fsync, FlushFileBuffers): a power cut
  // after it loses none of it. False (Error says why) when the disk did not confirm it.
  bool Sync();
  // Why the open, or the latest write or sync, failed.
  FileError Error() const { return {error_}; }
  void Close();
  // The descriptor (POSIX) or HANDLE (Windows), for the socket layer's file sends.
  std::intptr_t NativeHandle() const;

 private:
  explicit File(native_handle_t handle, DiskFaults faults = {})
      : handle_(handle), faults_(std::move(faults)) {}
  // A closed File for an open that failed with `error`.
  static File Failed(int error);

  native_handle_t handle_ = kNoNativeHandle;
  DiskFaults faults_;
  int error_ = 0;
};

// Best effort: the callers remove files they can do without.
void RemoveFile(const std::string& path);
// Replaces `to` by `from` in one step: readers see either the old or the new file, and
// once it returns true a power cut leaves the new one (POSIX: the folder is synced after
// the rename; Windows: the move is written through). `error`, when given, receives why it
// failed.
bool ReplaceFileAtomically(const std::string& from, const std::string& to,
                           const DiskFaults& faults = {}, FileError* error = nullptr);
// Makes a file just created under `path` survive a power cut: its folder's entry is
// synced (POSIX). Windows offers programs no sync of a folder; there it does nothing.
bool SyncFolderOf(const std::string& path, const DiskFaults& faults = {});
bool FileExists(const std::string& path);

}  // namespace qc::platform
