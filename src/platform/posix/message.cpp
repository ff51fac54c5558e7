#include "platform/message.h"

#include <cstdio>

namespace qc::platform {

namespace {

void ShowSystemMessage(const std::string& text, const std::string& caption, MessageIcon) {
  std::string line(caption);
  line += ": ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

// A line on standard error waits for nobody, so a message shown aside is the same line.
MessageSink SystemMessageSink() { return {ShowSystemMessage, ShowSystemMessage}; }

void WriteErrorLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qc::platform
