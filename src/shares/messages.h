// The texts about shares, files and URL copies that the stores' callers show to the user,
// with their captions and icons.
#pragma once
#include <string>

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

// Told once, when a load finds shared.cfg damaged: the shares after the damage are not in
// the list, and the file as it was is kept under the name that follows the text (or,
// when no copy could be made, left as it is).
inline constexpr Message kShareFileDamaged{
    "shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
    "The file as it was is kept as ",
    "Attention", platform::MessageIcon::Warning};
inline constexpr Message kShareFileDamagedNotKept{
    "shared.cfg is damaged: the shares stored after the damage could not be read.\n\n"
    "No copy of it could be made, so it is left as it is",
    "Attention", platform::MessageIcon::Warning};

inline void ShowShareFileDamage(const std::string& keptAs) {
  if (keptAs.empty()) {
    Show(kShareFileDamagedNotKept);
    return;
  }
  const std::string text = std::string(kShareFileDamaged.text) + keptAs;
  platform::ShowMessage(text, kShareFileDamaged.caption, kShareFileDamaged.icon);
}

}  // namespace qc::messages
