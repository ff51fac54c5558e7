#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qc::platform {

bool ConsumeWriteAllowance();

namespace {
// Opens `path` and takes an exclusive lock without waiting. flock locks belong to the
// open file description, so a second open of the same file fails here whether it comes
// from this process or another: the same "shared with nobody" rule as share mode 0.
int OpenLocked(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

File::~File() { Close(); }
File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File File::OpenExclusiveRead(const std::string& path) {
  File f;
  f.fd_ = OpenLocked(path, O_RDONLY);
  return f;
}

File File::OpenExclusiveWrite(const std::string& path) {
  File f;
  f.fd_ = OpenLocked(path, O_WRONLY | O_CREAT);
  return f;
}

bool File::IsOpen() const { return fd_ >= 0; }

std::int64_t File::Size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool File::Seek(std::int64_t offset) { return fd_ >= 0 && ::lseek(fd_, offset, SEEK_SET) == offset; }
bool File::SeekToEnd() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_END) >= 0; }

long long File::Read(void* buffer, std::size_t size) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<long long>(done) : -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(done);
}

bool File::Write(const void* data, std::size_t size) {
  if (fd_ < 0) return false;
  const bool allowed = ConsumeWriteAllowance();
  const std::size_t wanted = allowed ? size : size / 2;
  std::size_t done = 0;
  while (done < wanted) {
    ssize_t n = ::write(fd_, static_cast<const char*>(data) + done, wanted - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return allowed;
}

bool File::Truncate(std::int64_t size) { return fd_ >= 0 && ::ftruncate(fd_, size) == 0; }

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace qc::platform
