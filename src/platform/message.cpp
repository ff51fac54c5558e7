// What both backends share of showing a message: holding, the tests' sink, the line format.
#include "platform/message.h"

#include "platform/hooks.h"

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
  for (const Held& message : held_) ShowMessage(message.text, message.caption, message.icon);
}

// True when the message was held for later.
bool HoldMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  if (holder == nullptr) return false;
  holder->held_.push_back({std::string(text), std::string(caption), icon});
  return true;
}

void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  if (HoldMessage(text, caption, icon)) return;
  if (const MessageSink sink = hooks::Overrides().showMessage.Get()) {
    sink(std::string(text), std::string(caption), icon);
    return;
  }
  hooks::ShowSystemMessage(text, caption, icon);
}

void ShowMessageAside(const Message& message) {
  if (const MessageSink sink = hooks::Overrides().showMessage.Get()) {
    sink(std::string(message.text), std::string(message.caption), message.icon);
    return;
  }
  hooks::ShowSystemMessageAside(message.text, message.caption, message.icon);
}

}  // namespace qc::platform
