#include "platform/hooks.h"

#include <cstdio>

namespace qc::platform {

void hooks::ShowSystemMessage(std::string_view text, std::string_view caption, MessageIcon) {
  std::string line(caption);
  line += ": ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void WriteErrorLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// A line on standard error waits for nobody.
void hooks::ShowSystemMessageAside(std::string_view text, std::string_view caption,
                                   MessageIcon icon) {
  ShowSystemMessage(text, caption, icon);
}

}  // namespace qc::platform
