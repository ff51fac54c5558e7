#include "platform/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/posix/file_status.h"

namespace qc::platform {

namespace {

struct Descriptor {
  explicit Descriptor(int fd_) : fd(fd_) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

struct Child {
  std::string name;
  struct stat status;
};

// Every name in the folder open as `fd` that is a regular file or a folder, with its
// status as it stands (a link's own status, never its target's), sorted by the bytes of
// the names. Names that vanish between the read and the status query are gone.
std::vector<Child> ReadChildren(int fd) {
  std::vector<Child> children;
  const int copy = ::dup(fd);  // closedir closes what it was given
  if (copy < 0) return children;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return children;
  }
  while (const dirent* d = ::readdir(dir)) {
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    Child child{d->d_name, {}};
    if (::fstatat(fd, d->d_name, &child.status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(child.status.st_mode) || S_ISDIR(child.status.st_mode)) {
      children.push_back(std::move(child));
    }
  }
  ::closedir(dir);
  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  return children;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class Walk {
 public:
  explicit Walk(FolderListing& listing) : listing_(listing) {}

  // Lists the folder open as `fd` (whose status is `status`) under `prefix`.
  void List(int fd, const struct stat& status, const std::string& prefix, int depth) {
    ancestors_.push_back(status);
    for (Child& child : ReadChildren(fd)) {
      std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
      if (S_ISREG(child.status.st_mode)) {
        listing_.entries.push_back({std::move(path), false, (child.status.st_mode & 0111) != 0,
                                    VersionOfStatus(child.status)});
        continue;
      }
      EnterFolder(fd, child, std::move(path), depth + 1);
    }
    ancestors_.pop_back();
  }

 private:
  void EnterFolder(int parent, const Child& child, std::string path, int depth) {
    // A folder already on the way down (a bind mount of a parent) would never end.
    if (std::any_of(ancestors_.begin(), ancestors_.end(),
                    [&](const struct stat& a) { return SameFile(a, child.status); })) {
      return;
    }
    if (depth > kMaxFolderDepth) {
      listing_.leftOut.push_back(std::move(path));
      return;
    }
    // O_NOFOLLOW: a link put in the folder's place since the status query is not entered.
    Descriptor sub(::openat(parent, child.name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat opened;
    if (sub.fd < 0 || ::fstat(sub.fd, &opened) != 0 || !SameFile(opened, child.status)) {
      listing_.leftOut.push_back(std::move(path));
      return;
    }
    FileVersion version = VersionOfStatus(opened);
    version.size = 0;
    listing_.entries.push_back({path, true, false, version});
    List(sub.fd, opened, path, depth);
  }

  FolderListing& listing_;
  std::vector<struct stat> ancestors_;
};

std::string LastPart(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name the archive's top folder takes: the path's last part, or the real folder's
// when the path ends in "." or "..".
std::string FolderNameOf(const std::string& folder) {
  std::string name = LastPart(folder);
  if (name.empty() || name == "." || name == ".." || name == "/") {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr),
                                                     &std::free);
    name = real ? LastPart(real.get()) : std::string();
  }
  return name.empty() || name == "/" ? "root" : name;
}

}  // namespace

std::optional<FolderListing> ListFolder(const std::string& folder) {
  Descriptor root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
  struct stat status;
  if (root.fd < 0 || ::fstat(root.fd, &status) != 0 || !S_ISDIR(status.st_mode)) {
    return std::nullopt;
  }
  FolderListing listing;
  listing.root = folder;
  listing.name = FolderNameOf(folder);
  listing.rootVersion = VersionOfStatus(status);
  listing.rootVersion.size = 0;
  Walk(listing).List(root.fd, status, std::string(), 0);
  return listing;
}

}  // namespace qc::platform
