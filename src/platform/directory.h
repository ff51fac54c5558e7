// Paths and the current directory. The path separator is the backend's (native_types.h).
#pragma once
#include <string>

#include "platform/native_types.h"

namespace qc::platform {

// The current directory exactly as the system reports it; nothing is appended.
std::string CurrentDirectory();
// True when `path` names an existing file (not a folder).
bool IsExistingFile(const std::string& path);

// What stands at a path: nothing that can be seen (missing, or behind a folder this user
// may not enter), a regular file, a folder (shared as one archive), or something else (a
// device, a pipe).
enum class PathKind { Missing, RegularFile, Folder, Other };
PathKind KindOfPath(const std::string& path);

// `path` as a server in another working directory reads it. Native: a relative path is
// put under the current directory (no shell entry there passes full paths). Windows: the
// path unchanged, as Explorer passes full paths and the server has always been given them
// as they are.
std::string AbsolutePath(const std::string& path);

// True when two paths, as written, name the same file the way the system compares names:
// without regard to case on Windows (as its file systems do), byte for byte natively. No
// file is looked at, so a file that is not there yet compares like any other.
bool SamePath(const std::string& a, const std::string& b);
// What decides whether a folder may be shared without asking (shares/folder_rules.h):
// the user's home folder (the profile on Windows), as its real path; empty when unknown.
std::string HomeFolder();
// `path` with links resolved (natively) or as its full long name (Windows), for comparing
// two folders; `path` unchanged when it cannot be resolved.
std::string RealFolderPath(const std::string& path);
// True when `path` is the root of a mounted volume: a drive's root, a mount point.
bool IsVolumeRoot(const std::string& path);

}  // namespace qc::platform
