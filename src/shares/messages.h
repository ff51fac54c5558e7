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

// Shown when the selected URLs cannot be composed because the host has no address to
// put into them.
inline constexpr Message kUnableToCopyUrl{"Unable to copy uri to clipboard", "Error",
                                          platform::MessageIcon::Error};

}  // namespace qc::messages
