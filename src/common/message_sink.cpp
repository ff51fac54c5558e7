// The message sink hook shared by both builds: tests capture messages here instead of
// showing them.
#include <mutex>

#include "platform/message.h"

namespace qc::platform {
namespace {
std::mutex sinkMutex;
MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}
}  // namespace

void SetMessageSinkForTesting(MessageSink sink) {
  std::lock_guard<std::mutex> guard(sinkMutex);
  Sink() = std::move(sink);
}

// Called by each platform's ShowMessage first; true when a test sink took the message.
bool DeliverToTestSink(std::string_view text, std::string_view caption, MessageIcon icon) {
  MessageSink sink;
  {
    std::lock_guard<std::mutex> guard(sinkMutex);
    sink = Sink();
  }
  if (!sink) return false;
  sink(std::string(text), std::string(caption), icon);
  return true;
}

namespace {
thread_local HeldMessages* holder = nullptr;
}  // namespace

HeldMessages::HeldMessages() : outermost_(holder == nullptr) {
  if (outermost_) holder = this;
}

HeldMessages::~HeldMessages() {
  if (!outermost_) return;
  holder = nullptr;
  for (const Held& message : held_) ShowMessage(message.text, message.caption, message.icon);
}

// Called by each platform's ShowMessage first; true when the message was held for later.
bool HoldMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  if (holder == nullptr) return false;
  holder->held_.push_back({std::string(text), std::string(caption), icon});
  return true;
}

std::string FormatMessageLine(std::string_view text, std::string_view caption) {
  std::string line(caption);
  line += ": ";
  line += text;
  return line;
}

}  // namespace qc::platform
