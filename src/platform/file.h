// Files as the server uses them: exclusive opens (no other opener while one is open),
// shared reading opens (other readers welcome, writers not), 64-bit sizes and offsets, and
// a place where tests make writes fail.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/native_types.h"

namespace qc::platform {

// What tells one version of a file's contents from another: the size, the last write to
// the resolution the system keeps (nanoseconds on Linux, 100 ns on Windows), and which
// file it is, so that a file replaced by another of the same size and time still differs.
struct FileVersion {
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;      // since 1970-01-01 00:00:00 UTC, rounded down
  std::int32_t modifiedNanoseconds = 0;  // the rest: 0 to 999,999,999
  std::uint64_t volume = 0;              // st_dev; the volume serial number
  std::uint64_t fileIndex = 0;           // st_ino; the file index
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Read access, existing file only, shared with nobody: fails while any other exclusive
  // open of the same file exists (in this or another process), and for directories.
  static File OpenExclusiveRead(const std::string& path);
  // Read access, existing file only, shared with other readers: several of these opens of
  // one file coexist, in this or other processes. Fails while an exclusive open of the
  // file exists, while another program has the file open for writing, and for
  // directories. Windows: share mode FILE_SHARE_READ, so writers are also kept out for as
  // long as the file stays open. POSIX: see posix/file.cpp for what can be detected.
  static File OpenSharedRead(const std::string& path);
  // Write access, created when missing, never truncated, shared with nobody.
  static File OpenExclusiveWrite(const std::string& path);

  bool IsOpen() const;
  std::int64_t Size() const;  // -1 when unknown
  // The size and the rest of FileVersion in one system call; none when unknown.
  std::optional<FileVersion> Version() const;
  bool Seek(std::int64_t offset);
  bool SeekToEnd();
  // Returns the count read (0 at the end), or -1 on error.
  long long Read(void* buffer, std::size_t size);
  // Returns true when every byte was written.
  bool Write(const void* data, std::size_t size);
  // Cuts the file to `size` bytes (undoes a write that failed halfway).
  bool Truncate(std::int64_t size);
  void Close();
  // The descriptor (POSIX) or HANDLE (Windows), for the socket layer's file sends.
  std::intptr_t NativeHandle() const;

 private:
  explicit File(native_handle_t handle) : handle_(handle) {}

  native_handle_t handle_ = kNoNativeHandle;
};

// Best effort: the callers remove files they can do without.
void RemoveFile(const std::string& path);
// Replaces `to` by `from` in one step: readers see either the old or the new file.
bool ReplaceFileAtomically(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);

// Test hook: after `writesLeft` more successful File::Write calls, every further write
// fails until the hook is reset with -1. A failing write first writes half of its bytes,
// as a disk that fills up does.
void FailWritesAfterForTesting(int writesLeft);

}  // namespace qc::platform
