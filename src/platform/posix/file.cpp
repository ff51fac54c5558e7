#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/file_status.h"

namespace qc::platform {

namespace {
// Lease breaks are announced with SIGIO, whose default action ends the process. A lease
// here lives for two system calls, but a writer that opens the file between them would
// still raise the signal; this program uses SIGIO for nothing else.
void IgnoreLeaseBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current;
    if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGIO, SIG_IGN);
    }
  });
}

// Whether some open file description, in any process, has the file open for writing.
// flock only sees other flock users; a read lease, though, is refused (EAGAIN) while any
// writer exists, whatever kind of open it made. The lease is given back at once: it is a
// test, not a hold, so a writer that opens the file afterwards is not kept out (POSIX has
// no share modes). Where leases are not allowed (EACCES: the file belongs to another user
// and the process lacks CAP_LEASE; EINVAL: a file system without leases; leases switched
// off in /proc/sys/fs/leases-enable) writers cannot be seen and the file counts as free.
bool OpenForWritingElsewhere(int fd) {
  IgnoreLeaseBreakSignal();
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

// The files this program creates list the user's paths: nobody else may read them.
constexpr mode_t kUserOnly = 0600;

// Opens `path` and takes a flock lock of the given kind without waiting. flock locks
// belong to the open file description, so an exclusive lock fails for a second open of the
// same file whether it comes from this process or another: the same "shared with nobody"
// rule as share mode 0; shared locks coexist with each other but not with an exclusive one.
// Read opens also refuse a file that another program has open for writing.
// The open itself never waits: without O_NONBLOCK a FIFO put where a shared file was holds
// the request's thread (and the stop that waits for it) until a writer comes. Only a
// regular file is kept; O_NONBLOCK is then cleared, so reads behave as they always have on
// every file system.
int OpenLocked(const std::string& path, int flags, int lock) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, kUserOnly);
  if (fd < 0) return -1;
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  int refused = 0;  // why the open is given back, left in errno for the caller
  if (known && !S_ISREG(st.st_mode)) {
    refused = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (!known || ::fcntl(fd, F_SETFL, 0) != 0 || ::flock(fd, lock | LOCK_NB) != 0) {
    refused = errno;
  } else if ((flags & O_ACCMODE) == O_RDONLY && OpenForWritingElsewhere(fd)) {
    refused = EAGAIN;
  }
  if (refused != 0) {
    ::close(fd);
    errno = refused;
    return -1;
  }
  return fd;
}

bool SyncDescriptor(int fd, SyncKind kind, const DiskFaults& faults) {
  if (!faults.SyncAllowed(kind)) {
    errno = EIO;
    return false;
  }
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}
}  // namespace

File File::OpenExclusiveRead(const std::string& path) {
  return File(OpenLocked(path, O_RDONLY, LOCK_EX));
}

File File::OpenSharedRead(const std::string& path) {
  return File(OpenLocked(path, O_RDONLY, LOCK_SH));
}

File File::OpenSharedReadListed(const std::string& root, const std::string& relativePath) {
  return File(OpenLocked(root + "/" + relativePath, O_RDONLY | O_NOFOLLOW, LOCK_SH));
}

File File::OpenExclusiveWrite(const std::string& path, const DiskFaults& faults) {
  const int fd = OpenLocked(path, O_WRONLY | O_CREAT, LOCK_EX);
  return fd < 0 ? File::Failed(errno) : File(fd, faults);
}

File File::CreateNew(const std::string& path, const DiskFaults& faults) {
  // O_EXCL refuses any name that exists, a dangling link included; O_NOFOLLOW says so
  // again for links.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kUserOnly);
  if (fd < 0) return File::Failed(errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int refused = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return File::Failed(refused);
  }
  return File(fd, faults);
}

std::int64_t File::Size() const {
  struct stat st;
  if (handle_ < 0 || ::fstat(handle_, &st) != 0) return -1;
  return st.st_size;
}

std::optional<FileVersion> File::Version() const {
  struct stat st;
  if (handle_ < 0 || ::fstat(handle_, &st) != 0) return std::nullopt;
  return VersionOfStatus(st);
}

bool File::ChangedSince(const FileVersion& version) const {
  // Nothing keeps another program from writing a file this one reads: every write sets
  // the modification and change times (and may change the size), so a second look tells.
  const std::optional<FileVersion> now = Version();
  return !now || *now != version;
}

bool File::Seek(std::int64_t offset) {
  return handle_ >= 0 && ::lseek(handle_, offset, SEEK_SET) == offset;
}
bool File::SeekToEnd() { return handle_ >= 0 && ::lseek(handle_, 0, SEEK_END) >= 0; }

long long File::Read(void* buffer, std::size_t size) {
  if (handle_ < 0) return -1;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(handle_, static_cast<char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<long long>(done) : -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(done);
}

bool File::Write(const void* data, std::size_t size) {
  if (handle_ < 0) return false;
  const bool allowed = faults_.WriteAllowed();
  const std::size_t wanted = allowed ? size : size / 2;
  std::size_t done = 0;
  while (done < wanted) {
    ssize_t n = ::write(handle_, static_cast<const char*>(data) + done, wanted - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  // A disk made to fill up says what a full one says.
  if (!allowed) error_ = ENOSPC;
  return allowed;
}

bool File::Truncate(std::int64_t size) { return handle_ >= 0 && ::ftruncate(handle_, size) == 0; }

bool File::Sync() {
  if (handle_ < 0) return false;
  if (SyncDescriptor(handle_, SyncKind::File, faults_)) return true;
  error_ = errno;
  return false;
}

void File::Close() {
  if (handle_ >= 0) {
    ::close(handle_);
    handle_ = -1;
  }
}

std::intptr_t File::NativeHandle() const { return handle_; }

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

bool ReplaceFileAtomically(const std::string& from, const std::string& to, const DiskFaults& faults,
                           FileError* error) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    if (error != nullptr) error->code = errno;
    return false;
  }
  // The rename is done and every reader sees the new file; whether the folder's sync
  // succeeds changes nothing a caller could act on, so its result is not passed on.
  SyncFolderOf(to, faults);
  return true;
}

bool SyncFolderOf(const std::string& path, const DiskFaults& faults) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = SyncDescriptor(fd, SyncKind::Folder, faults);
  ::close(fd);
  return synced;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace qc::platform
