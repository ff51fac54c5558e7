#pragma once
#include <string>

namespace qc::platform {

// The current directory exactly as the system reports it; nothing is appended.
std::string CurrentDirectory();
bool ChangeDirectory(const std::string& path);
// True when `path` names an existing file (not a folder).
bool IsExistingFile(const std::string& path);

}  // namespace qc::platform
