#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "unit/file_holder.h"
#include "unit/platform_support.h"

namespace qc::tests {

namespace {
// Each test process gets a runtime directory of its own, made before main and removed at
// exit: the control socket and the single-instance lock live there, and the cases run side
// by side, one process each, so two of them must never meet each other's server.
class PrivateRuntimeDirectory {
 public:
  PrivateRuntimeDirectory() {
    std::string pattern = std::filesystem::temp_directory_path() / "qc-unit-run-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;  // the cases then say what is missing
    path_ = pattern;
    ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
  }
  ~PrivateRuntimeDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  PrivateRuntimeDirectory(const PrivateRuntimeDirectory&) = delete;
  PrivateRuntimeDirectory& operator=(const PrivateRuntimeDirectory&) = delete;

 private:
  std::string path_;
};
const PrivateRuntimeDirectory privateRuntimeDirectory;
}  // namespace

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

bool ProcessIsRunning(unsigned long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void SetSocketTimeLimit(platform::socket_t s, std::chrono::milliseconds limit) {
  const auto ms = std::max<long long>(1, limit.count());
  timeval value{};
  value.tv_sec = static_cast<time_t>(ms / 1000);
  value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

struct FileHolder::Child {
  pid_t pid = -1;
  int releaseFd = -1;
};

FileHolder::FileHolder(const std::string& path, Mode mode) : child_(std::make_unique<Child>()) {
  int ready[2], release[2];
  if (::pipe(ready) != 0) return;
  if (::pipe(release) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  child_->pid = ::fork();
  if (child_->pid == 0) {
    // Only async-signal-safe calls between fork and _exit.
    ::close(ready[0]);
    ::close(release[1]);
    const int fd = ::open(path.c_str(), mode == kRead ? O_RDONLY : O_WRONLY);
    const char answer = fd >= 0 ? '1' : '0';
    (void)!::write(ready[1], &answer, 1);
    char byte;
    while (::read(release[0], &byte, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  child_->releaseFd = release[1];
  char answer = '0';
  if (child_->pid > 0 && ::read(ready[0], &answer, 1) == 1) holding_ = answer == '1';
  ::close(ready[0]);
}

FileHolder::~FileHolder() {
  if (child_->releaseFd >= 0) ::close(child_->releaseFd);
  child_->releaseFd = -1;
  if (child_->pid > 0) {
    int status = 0;
    ::waitpid(child_->pid, &status, 0);
  }
  child_->pid = -1;
}

bool SetModifiedTime(const std::string& path, std::int64_t seconds, std::int32_t nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

const NamedSocketError kAddressInUse{98, "Address already in use (98)"};
const NamedSocketError kNamedSocketErrors[] = {
    kAddressInUse,
    {13, "Permission denied (13)"},
    {88, "Socket operation on non-socket (88)"},
    {12345, "Unknown error 12345 (12345)"},
};
const std::size_t kNamedSocketErrorCount = std::size(kNamedSocketErrors);

// flock refuses the second exclusive lock with EWOULDBLOCK; a faked full disk and a faked
// failed sync say what real ones say.
const FileErrorCodes kFileErrorCodes = {ENOSPC, EIO, EWOULDBLOCK, EISDIR};

}  // namespace qc::tests
