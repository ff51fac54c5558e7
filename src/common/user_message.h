// A user-facing message with its caption and icon. Each subsystem defines its own texts
// as constants of this type in its messages.h.
#pragma once
#include <string_view>

#include "platform/message.h"

namespace qc::messages {

struct Message {
  std::string_view text;
  std::string_view caption;
  platform::MessageIcon icon;
};

inline void Show(const Message& message) {
  platform::ShowMessage(message.text, message.caption, message.icon);
}

}  // namespace qc::messages
