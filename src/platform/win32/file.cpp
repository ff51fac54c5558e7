#include "platform/file.h"

#include <utility>

#include "platform/os_windows.h"
#include "platform/win32/file_time.h"
#include "platform/win32/wide_text.h"
// After windows.h: IO_STATUS_BLOCK, for the file index asked of ntdll.
#include <winternl.h>
#include "platform/windows_handles.h"

namespace qc::platform {

namespace {
HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

// Only a file on a disk is kept: a name that opens a device or a pipe (CON, COM1, NUL,
// \\.\pipe\...) would block its reader or read for ever. Folders already fail the open
// (no FILE_FLAG_BACKUP_SEMANTICS); the attributes say so again for anything mounted oddly.
// FileBasicInfo rather than GetFileInformationByHandle: the latter also asks for the
// volume's serial number, which Wine fetches from its mount manager, a driver in another
// process (about 25 wineserver round trips each time, measured with wineserver -d2).
bool IsRegularFile(HANDLE h) {
  if (GetFileType(h) != FILE_TYPE_DISK) return false;
  FILE_BASIC_INFO basic;
  return GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) != 0 &&
         (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file index (NTFS's file reference number), without the volume's serial number that
// GetFileInformationByHandle would fetch with it. Not in GetFileInformationByHandleEx's
// classes (FileIdInfo carries the volume too), so asked of ntdll.
bool FileIndexOf(HANDLE h, std::uint64_t& index) {
  using QueryInformationFile = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
  constexpr ULONG kFileInternalInformation = 6;
  static const auto query = reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  if (query == nullptr) return false;
  IO_STATUS_BLOCK status;
  LARGE_INTEGER internal;
  if (query(h, &status, &internal, sizeof internal, kFileInternalInformation) != 0) return false;
  index = static_cast<std::uint64_t>(internal.QuadPart);
  return true;
}

HANDLE KeepRegularFile(UniqueHandle h) {
  if (!h || !IsRegularFile(h.get())) return nullptr;
  return h.release();
}

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition,
            DWORD flags = 0) {
  return KeepRegularFile(
      UniqueHandle(CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr)));
}
}  // namespace

// Share mode 0: while this handle is open nobody else may open the file.
File File::OpenExclusiveRead(const std::string& path) {
  return File(Open(path, GENERIC_READ, 0, OPEN_EXISTING));
}

// Other readers may open it too; as write sharing is not granted, the open fails while
// any handle has write access, and no writer can open the file while this one is open.
File File::OpenSharedRead(const std::string& path) {
  return File(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
}

// The listing's root is a long-form full path in UTF-8 and the entry's path UTF-8 with
// forward slashes: the wide call reaches names no ANSI code page holds, and paths longer
// than MAX_PATH. A link put in the entry's place meanwhile is followed, but what it leads
// to has another identity than the listing's, which the caller compares. (Opening the
// reparse point itself instead would bypass the filters that read placeholder files.)
File File::OpenSharedReadListed(const std::string& root, const std::string& relativePath) {
  std::string path = root;
  path.push_back('\\');
  for (char c : relativePath) path.push_back(c == '/' ? '\\' : c);
  const std::optional<std::wstring> wide = WideFrom(path, CP_UTF8);
  if (!wide) return File();
  return File(KeepRegularFile(
      UniqueHandle(CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr))));
}

File File::OpenExclusiveWrite(const std::string& path, const DiskFaults& faults) {
  native_handle_t handle = Open(path, GENERIC_WRITE, 0, OPEN_ALWAYS);
  if (handle == kNoNativeHandle) return File::Failed(static_cast<int>(GetLastError()));
  return File(handle, faults);
}

// CREATE_NEW fails for any name that exists; FILE_FLAG_OPEN_REPARSE_POINT keeps a link
// under the name from being followed.
File File::CreateNew(const std::string& path, const DiskFaults& faults) {
  native_handle_t handle = Open(path, GENERIC_WRITE, 0, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  return handle == kNoNativeHandle ? File() : File(handle, faults);
}

std::int64_t File::Size() const {
  LARGE_INTEGER size;
  if (handle_ == nullptr || !GetFileSizeEx(AsHandle(handle_), &size)) return -1;
  return size.QuadPart;
}

std::optional<FileVersion> File::Version() const {
  if (handle_ == nullptr) return std::nullopt;
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  FileVersion version;
  // Three queries that Wine answers from the file's own descriptor, in the process: the
  // one call that returns all of it (GetFileInformationByHandle) costs a trip to the
  // mount manager for the volume's serial number. The volume stays 0: the index already
  // tells two files of the share's one path apart, and a file that arrives from another
  // volume is a copy with an index of its own.
  if (!GetFileInformationByHandleEx(AsHandle(handle_), FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(AsHandle(handle_), FileStandardInfo, &standard,
                                    sizeof standard) ||
      !FileIndexOf(AsHandle(handle_), version.fileIndex)) {
    return std::nullopt;
  }
  version.size = standard.EndOfFile.QuadPart;
  UnixTimeOfTicks(basic.LastWriteTime.QuadPart, version.modifiedSeconds,
                  version.modifiedNanoseconds);
  return version;
}

// No call, so no wineserver round trip either: every handle a file is served through
// refuses writers (FILE_SHARE_READ at most, never FILE_SHARE_WRITE or FILE_SHARE_DELETE),
// and an open fails while any handle can write, so the file stays as it was from the
// version's query to the close.
bool File::ChangedSince(const FileVersion&) const { return false; }

bool File::Seek(std::int64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  return handle_ != nullptr &&
         SetFilePointerEx(AsHandle(handle_), distance, nullptr, FILE_BEGIN) != 0;
}

bool File::SeekToEnd() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return handle_ != nullptr && SetFilePointerEx(AsHandle(handle_), zero, nullptr, FILE_END) != 0;
}

long long File::Read(void* buffer, std::size_t size) {
  if (handle_ == nullptr) return -1;
  std::size_t done = 0;
  while (done < size) {
    DWORD chunk = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), static_cast<char*>(buffer) + done, chunk, &got, nullptr)) {
      return done > 0 ? static_cast<long long>(done) : -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<long long>(done);
}

bool File::Write(const void* data, std::size_t size) {
  if (handle_ == nullptr) return false;
  const bool allowed = faults_.WriteAllowed();
  const std::size_t wanted = allowed ? size : size / 2;
  std::size_t done = 0;
  while (done < wanted) {
    DWORD chunk = static_cast<DWORD>(wanted - done > 0x40000000 ? 0x40000000 : wanted - done);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), static_cast<const char*>(data) + done, chunk, &written,
                   nullptr) ||
        written == 0) {
      error_ = static_cast<int>(GetLastError());
      return false;
    }
    done += written;
  }
  // A disk made to fill up says what a full one says.
  if (!allowed) error_ = ERROR_DISK_FULL;
  return allowed;
}

bool File::Truncate(std::int64_t size) {
  return Seek(size) && SetEndOfFile(AsHandle(handle_)) != 0;
}

bool File::Sync() {
  if (handle_ == nullptr) return false;
  if (!faults_.SyncAllowed(SyncKind::File)) {
    error_ = ERROR_WRITE_FAULT;
    return false;
  }
  if (FlushFileBuffers(AsHandle(handle_)) != 0) return true;
  error_ = static_cast<int>(GetLastError());
  return false;
}

void File::Close() {
  // The portable class keeps the handle as a plain value; it is let go here only.
  UniqueHandle(AsHandle(std::exchange(handle_, kNoNativeHandle))).reset();
}

std::intptr_t File::NativeHandle() const { return reinterpret_cast<std::intptr_t>(handle_); }

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

// MOVEFILE_WRITE_THROUGH returns only once the move is on the disk.
bool ReplaceFileAtomically(const std::string& from, const std::string& to, const DiskFaults&,
                           FileError* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
      0) {
    return true;
  }
  if (error != nullptr) error->code = static_cast<int>(GetLastError());
  return false;
}

// Windows offers programs no sync of a folder: FlushFileBuffers on the new file itself, and
// MOVEFILE_WRITE_THROUGH for a replace, are what there is.
bool SyncFolderOf(const std::string&, const DiskFaults&) { return true; }

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace qc::platform
