#include "platform/directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <vector>

namespace qc::platform {

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return CurrentDirectory() + "/" + path;
}

bool SamePath(const std::string& a, const std::string& b) { return a == b; }

bool IsExistingFile(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

PathKind KindOfPath(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return PathKind::Missing;
  return S_ISREG(status.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

}  // namespace qc::platform
