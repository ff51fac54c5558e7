// The texts about shares, files and URL copies that the stores' callers show to the user,
// with their captions and icons.
#pragma once
#include "platform/message.h"

namespace qc::messages {

inline constexpr Message kIncorrectPhysicalPath{"Incorrect physical path to file", "Error",
                                                platform::MessageIcon::Error};
inline constexpr Message kCantWriteShareFile{"Can't write to file shared.cfg, something wrong",
                                             "ERROR", platform::MessageIcon::Error};
inline constexpr Message kSelectAtLeastOne{"Select at least one element from list", "Attention",
                                           platform::MessageIcon::Warning};
inline constexpr Message kDesync{"Can't find data in memory with same index. Desync error.",
                                 "error", platform::MessageIcon::Error};

// Only a regular file can ever be served: a folder (or a device) stored as a share would
// answer 404 for ever. Shown with the path as its detail; nothing is stored or copied.
inline constexpr Message kNotAFile{"Only files can be shared, not folders", "Error",
                                   platform::MessageIcon::Error};

}  // namespace qc::messages
