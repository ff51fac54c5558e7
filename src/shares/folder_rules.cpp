#include "shares/folder_rules.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/directory.h"

namespace qc {

namespace {

// A path as its root ("/", "C:", "\\server\share"; empty for a relative path) and the
// names below it, with "." and ".." applied.
struct PathParts {
  std::string root;
  std::vector<std::string> names;
};

char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

PathParts Split(std::string path, PathStyle style) {
  PathParts parts;
  std::size_t at = 0;
  if (style == PathStyle::Windows) {
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) {
      path.erase(2, 6);  // "\\?\UNC\server" is "\\server"
    } else if (path.rfind("\\\\?\\", 0) == 0) {
      path.erase(0, 4);
    }
    std::transform(path.begin(), path.end(), path.begin(), FoldCase);
    if (path.size() >= 2 && path[1] == ':') {
      parts.root = path.substr(0, 2);
      at = 2;
    } else if (path.rfind("\\\\", 0) == 0) {
      // A network share's root is its server and share names.
      std::size_t end = path.find('\\', 2);
      end = end == std::string::npos ? path.size() : path.find('\\', end + 1);
      end = end == std::string::npos ? path.size() : end;
      parts.root = path.substr(0, end);
      at = end;
    } else if (!path.empty() && path[0] == '\\') {
      parts.root.push_back('\\');  // assigning the literal trips gcc 12's -Wrestrict
    }
  } else if (!path.empty() && path[0] == '/') {
    parts.root.push_back('/');
  }
  const char separator = style == PathStyle::Windows ? '\\' : '/';
  while (at < path.size()) {
    std::size_t next = path.find(separator, at);
    if (next == std::string::npos) next = path.size();
    const std::string_view name(path.data() + at, next - at);
    if (name == "..") {
      if (!parts.names.empty()) parts.names.pop_back();
    } else if (!name.empty() && name != ".") {
      parts.names.emplace_back(name);
    }
    at = next + 1;
  }
  return parts;
}

// Whether `outer` is `inner` or one of the folders that hold it.
bool Holds(const PathParts& outer, const PathParts& inner) {
  return outer.root == inner.root && outer.names.size() <= inner.names.size() &&
         std::equal(outer.names.begin(), outer.names.end(), inner.names.begin());
}

}  // namespace

FolderShareRisk FolderShareRiskOf(const std::string& folder, const std::string& home,
                                  bool volumeRoot, PathStyle style) {
  const PathParts parts = Split(folder, style);
  if (volumeRoot || (!parts.root.empty() && parts.names.empty())) {
    return FolderShareRisk::DriveRoot;
  }
  if (!home.empty() && Holds(parts, Split(home, style))) return FolderShareRisk::WholeProfile;
  return FolderShareRisk::None;
}

FolderShareRisk FolderShareRiskOfPath(const std::string& folder) {
  return FolderShareRiskOf(platform::RealFolderPath(folder), platform::HomeFolder(),
                           platform::IsVolumeRoot(folder));
}

}  // namespace qc
