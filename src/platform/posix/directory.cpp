#include "platform/directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

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
  if (S_ISREG(status.st_mode)) return PathKind::RegularFile;
  return S_ISDIR(status.st_mode) ? PathKind::Folder : PathKind::Other;
}

std::string RealFolderPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return RealFolderPath(home);
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::string();
  }
  return RealFolderPath(found->pw_dir);
}

// The root, or a folder on another device than its parent: a mount point.
bool IsVolumeRoot(const std::string& path) {
  struct stat self;
  struct stat parent;
  if (::stat(path.c_str(), &self) != 0 || ::stat((path + "/..").c_str(), &parent) != 0) {
    return false;
  }
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

}  // namespace qc::platform
