// The runtime directory: where the control socket and the instance lock live, refused
// unless it is the user's alone.
#include "platform/runtime_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qc::platform {

namespace {
constexpr char kSocketName[] = "quillcast-control.sock";
}  // namespace

std::string CheckRuntimeDirectory(const std::string& path, std::uint32_t uid) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return path + " cannot be used: " + std::strerror(errno);
  }
  if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
  if (st.st_uid != uid) {
    return path + " belongs to user " + std::to_string(st.st_uid) + ", not to user " +
           std::to_string(uid);
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " can be written by other users (mode " + mode + ")";
  }
  return std::string();
}

std::optional<std::string> RuntimeDirectory(std::string* problem) {
  std::string dir;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] != '\0') {
    dir = xdg;
  } else {
    dir = "/tmp/quillcast-" + std::to_string(::getuid());
    // Whoever made it first decides its owner and mode; the check below tells.
    ::mkdir(dir.c_str(), 0700);
  }
  std::string wrong = CheckRuntimeDirectory(dir, ::getuid());
  if (!wrong.empty()) {
    if (problem != nullptr) *problem = std::move(wrong);
    return std::nullopt;
  }
  return dir;
}

std::string ControlSocketPath() {
  std::optional<std::string> dir = RuntimeDirectory();
  return dir ? *dir + "/" + kSocketName : std::string();
}

}  // namespace qc::platform
