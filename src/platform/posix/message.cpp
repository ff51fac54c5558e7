#include "platform/message.h"

#include <cstdio>

namespace qc::platform {

bool DeliverToTestSink(std::string_view text, std::string_view caption, MessageIcon icon);
bool HoldMessage(std::string_view text, std::string_view caption, MessageIcon icon);

void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  if (HoldMessage(text, caption, icon)) return;
  if (DeliverToTestSink(text, caption, icon)) return;
  std::string line = FormatMessageLine(text, caption);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qc::platform
