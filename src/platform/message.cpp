// What both backends share of showing a message: holding, then the sink it was handed.
#include "platform/message.h"

namespace qc::platform {

namespace {
thread_local HeldMessages* holder = nullptr;
}  // namespace

HeldMessages::HeldMessages() : outermost_(holder == nullptr) {
  if (outermost_) holder = this;
}

HeldMessages::~HeldMessages() {
  if (!outermost_) return;
  holder = nullptr;
  for (const Held& message : held_) {
    ShowMessage(message.sink, message.text, message.caption, message.icon);
  }
}

// True when the message was held for later.
bool HoldMessage(const MessageSink& sink, std::string_view text, std::string_view caption,
                 MessageIcon icon) {
  if (holder == nullptr) return false;
  holder->held_.push_back({sink, std::string(text), std::string(caption), icon});
  return true;
}

void ShowMessage(const MessageSink& sink, std::string_view text, std::string_view caption,
                 MessageIcon icon) {
  if (HoldMessage(sink, text, caption, icon)) return;
  if (sink.show) sink.show(std::string(text), std::string(caption), icon);
}

void ShowMessageAside(const MessageSink& sink, const Message& message) {
  if (sink.showAside) {
    sink.showAside(std::string(message.text), std::string(message.caption), message.icon);
  }
}

}  // namespace qc::platform
