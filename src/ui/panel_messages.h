// The panel's own messages about the list, with their captions and icons (both builds:
// the panel's windowless rules show them).
#pragma once
#include "platform/message.h"

namespace qc::messages {

using platform::MessageIcon;

inline constexpr Message kSelectAtLeastOne{"Select at least one element from list", "Attention",
                                           MessageIcon::Warning};
inline constexpr Message kDesync{"Can't find data in memory with same index. Desync error.",
                                 "error", MessageIcon::Error};

}  // namespace qc::messages
