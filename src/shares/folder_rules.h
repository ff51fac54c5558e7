// Which folders hold more than anyone means to share at once: the callers that share a
// folder ask first (the control panel with a question, the native command by wanting
// --yes), each in its own words.
#pragma once
#include <string>

#include "platform/native_types.h"

namespace qc {

enum class FolderShareRisk {
  None,
  // The root of a drive, a network share or the whole file system, or a folder that a
  // volume is mounted on (a USB stick's root natively).
  DriveRoot,
  // The user's home folder (the profile on Windows), or a folder that holds it: every
  // document, key and browser profile of the user at once.
  WholeProfile,
};

enum class PathStyle { Posix, Windows };
inline constexpr PathStyle kNativePathStyle =
    platform::kPathSeparator == '\\' ? PathStyle::Windows : PathStyle::Posix;

// `folder` and `home` as full paths (platform::RealFolderPath resolves links natively and
// short names on Windows; platform::HomeFolder gives the home, empty when unknown);
// `volumeRoot` as platform::IsVolumeRoot says of the folder. The paths are compared after
// dropping "." and ".." parts and repeated or trailing separators, and on Windows the
// long-path prefix ("\\?\"), forward slashes and letter case.
FolderShareRisk FolderShareRiskOf(const std::string& folder, const std::string& home,
                                  bool volumeRoot, PathStyle style = kNativePathStyle);

// FolderShareRiskOf for `folder` as this system finds it: its real path, the user's home,
// whether a volume is mounted on it.
FolderShareRisk FolderShareRiskOfPath(const std::string& folder);

}  // namespace qc
