// How a file becomes a share, wherever it is shared from: a Send to or a command-line share
// (the control channel), the native share command, the control panel's drop and its New
// share window. One rule for all of them, so that a link never leads to another file than
// the one it was made for:
// - a file that is shared already (the same physical path, compared as the system compares
//   names, and not withdrawn) keeps its one share: its link is given back, nothing added;
// - a virtual path that another file's share holds is never given a second time: a
//   generated one becomes "name (2).ext", then "(3)", ..., the way file managers name
//   copies; a path the user typed is refused instead, since the user chose that name;
// - a withdrawn share at the path the new share takes is replaced, out of the registry and
//   out of shared.cfg (rewritten whole), since the lookup finds the oldest share of a path
//   and would go on finding the withdrawn one.
// All of it under the registry's lock: two files shared at once never get one path, and a
// withdrawal's rewrite never comes between the list and the file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "shares/settings_file.h"
#include "shares/share_file.h"
#include "shares/share_registry.h"

namespace qc {

// Where the virtual path asked for came from.
enum class VirtualPathOrigin {
  Generated,  // made from the file's name: when it is taken, a free one is made from it
  Typed,      // the user's own: refused when it is taken
};

// When the new share's record reaches shared.cfg.
enum class ShareStoring {
  AppendNow,      // appended at once, the usual way
  LeftToRewrite,  // the control panel's rewrite at "Close" stores it (a Delete is pending)
};

enum class ShareAddition {
  Added,          // a new share, at the virtual path asked for
  Renamed,        // a new share, at a path of its own: the one asked for is another file's
  AlreadyShared,  // the file was shared already: that share; nothing added or stored
  PathTaken,      // the typed path is another file's: nothing added or stored
};

struct AddedShare {
  SharePtr share;  // the new or the existing share; null when the path was taken
  ShareAddition outcome = ShareAddition::Added;
  ShareFileWrite written = ShareFileWrite::Written;
  // Withdrawn shares at the new share's path left the registry, so the positions of the
  // shares after them moved (the panel's rows follow them).
  bool replacedWithdrawn = false;
};

// A new share gets `limits` before the registry's lock is let go, so that no request finds
// it without them; a file shared already keeps its own. Storing them is the caller's.
AddedShare AddShare(const StoredFiles& files, ShareRegistry& registry, std::string physicalPath,
                    std::string virtualPath, std::uint32_t flags, VirtualPathOrigin origin,
                    ShareStoring storing = ShareStoring::AppendNow, const ShareLimits& limits = {});

// A share added from outside the panel (a Send to, the command line, the native command):
// a generated path, the flags the settings give new shares, appended at once; `limits` as
// AddShare's.
AddedShare AddAndStoreShare(const StoredFiles& files, ShareRegistry& registry,
                            const ServerSettings& settings, std::string physicalPath,
                            std::string virtualPath, const ShareLimits& limits = {});

// The n-th name of a copy (n from 2): `virtualPath` with " (n)" put before the file name's
// extension. A file name that ends in " (k)" already is counted on from there rather than
// numbered twice: "/report (2).txt" is followed by "/report (3).txt".
std::string NumberedVirtualPath(std::string_view virtualPath, int n);
// The first n that NumberedVirtualPath numbers `virtualPath` with: 2, or k + 1 after " (k)".
int FirstCopyNumber(std::string_view virtualPath);

// A control character (a NUL included) in a path to share: such a path is refused wherever
// it arrives, since no file name holds one on Windows, and a NUL would make the stored
// share list unreadable at the next start.
bool HoldsControlCharacter(std::string_view path);

}  // namespace qc
