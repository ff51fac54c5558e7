#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/runtime_directory.h"

namespace qc::platform {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (handle_ >= 0) return true;
  // The lock dies with the process, so a crashed server never blocks the next start.
  std::optional<std::string> dir = RuntimeDirectory();
  if (!dir) return false;
  const std::string path = *dir + "/QuillcastOneCopyAtTime.lock";
  handle_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (handle_ < 0) return false;
  if (::flock(handle_, LOCK_EX | LOCK_NB) != 0) {
    ::close(handle_);
    handle_ = -1;
    return false;
  }
  return true;
}

void SingleInstance::Release() {
  if (handle_ >= 0) {
    ::flock(handle_, LOCK_UN);
    ::close(handle_);
    handle_ = -1;
  }
}

}  // namespace qc::platform
