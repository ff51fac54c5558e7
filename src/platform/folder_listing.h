// A folder's tree as it stands when asked: what a folder share sends as one archive. The
// listing is taken again for every request, so it is cheap (one directory read and one
// status query per entry natively; the directory reads alone on Windows, which return the
// sizes, times and identities with the names).
//
// What is listed: regular files and folders, empty folders included, hidden ones too.
// What is left out without a word: FIFOs, devices and sockets (nothing a download could
// hold), and every symbolic link and junction, wherever it leads. A link that leads
// outside the folder must never be followed; one that leads inside adds nothing the
// archive does not already hold under the target's own name, and following it could make
// the archive grow without end (a link to a parent folder). Leaving every link out needs
// no path resolution that could race with the link being changed, and no loop can form:
// natively a folder already on the way down (a bind mount of a parent) is not entered
// again. On Windows only the name surrogates (symbolic links, junctions and mount points)
// count as links; other reparse points are files like any other (OneDrive's placeholders,
// deduplicated files).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace qc::platform {

// One file or folder under the listed folder.
struct FolderEntry {
  // Relative to the listed folder, the names joined by '/'. Windows: UTF-8, converted from
  // the system's wide names, so a Cyrillic or Japanese name survives whatever the ANSI code
  // page is. Natively: the bytes as they stand.
  std::string path;
  bool isFolder = false;
  // Natively: any of the execute bits is set. Windows keeps none: always false.
  bool executable = false;
  // The size (0 for a folder), the modification time and the identity, exactly as
  // File::Version reports them for the file once open: an open that finds other values
  // has found another version of the file, or another file.
  FileVersion version;
};

struct FolderListing {
  // What the entries are opened from (File::OpenSharedReadListed): natively the folder's
  // path as given; on Windows its full path in the long form ("\\?\"), in UTF-8.
  std::string root;
  // The folder's own name, in UTF-8 on Windows: the last part of its path (the long name on
  // Windows), the drive letter for a drive's root, "root" for the native "/".
  std::string name;
  // The folder's own modification time and identity (size 0).
  FileVersion rootVersion;
  // Depth first: each folder's entries sorted by the bytes of their names, a folder right
  // before what it holds. The same folder lists the same on every call and after a restart.
  std::vector<FolderEntry> entries;
  // Paths of what is in the folder but could not be listed, so the caller can tell the
  // user: folders this user may not open (with all they hold), names that UTF-8 cannot
  // write (Windows: a lone surrogate), folders nested deeper than kMaxFolderDepth.
  std::vector<std::string> leftOut;
};

// Deeper folders are left out (and named in leftOut): every level holds one open handle
// on the way down, and no real tree comes near this.
inline constexpr int kMaxFolderDepth = 256;

// The tree under `folder` (a link given as the folder itself is followed: the user chose
// it). None when `folder` is missing, not a folder, or cannot be read.
std::optional<FolderListing> ListFolder(const std::string& folder);

}  // namespace qc::platform
