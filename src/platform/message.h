// The user-facing message: a modal message box on Windows, "caption: text" on standard
// error on the native build (a line feed in the text is a line break there too).
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

enum class MessageIcon { None, Error, Warning };

// Where messages go: the system's box (natively the line on standard error) or, in tests,
// a recorder. Made once by the entry (SystemMessageSink) and handed to whoever tells the
// user something.
struct MessageSink {
  using Call =
      std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>;
  Call show;
  // The same without waiting for the user (ShowMessageAside, below).
  Call showAside;
};

// The system's sink: on Windows a modal box, and for a message shown aside a box on a
// thread of its own; natively the line on standard error for both.
MessageSink SystemMessageSink();
// One call for both ways, as a recorder takes them.
inline MessageSink MessageSinkOf(const MessageSink::Call& call) { return {call, call}; }

void ShowMessage(const MessageSink& sink, std::string_view text, std::string_view caption,
                 MessageIcon icon);

// A message with its caption and icon. Each subsystem defines its own texts as constants
// of this type (its messages.h).
struct Message {
  std::string_view text;
  std::string_view caption;
  MessageIcon icon;
};

inline void Show(const MessageSink& sink, const Message& message) {
  ShowMessage(sink, message.text, message.caption, message.icon);
}
// The message with a detail under its headline, such as the path it is about.
inline void Show(const MessageSink& sink, const Message& message, std::string_view detail) {
  ShowMessage(sink, std::string(message.text) + "\n\n" + std::string(detail), message.caption,
              message.icon);
}

// One line on the process's standard error, where it has one (natively always; on Windows
// a start from a console or with its output redirected): what a message's fixed text
// leaves out, such as the system's own error. Nothing when there is none.
void WriteErrorLine(std::string_view text);

// For threads that must never wait for the user (a connection thread, which may hold a
// client and, through it, a share): the message is shown without holding the caller. On
// Windows the box gets a thread of its own, and while one such box is up, further ones are
// not shown: they could only repeat it, and a fault on every download would otherwise
// stack boxes. The native line on standard error is written at once.
void ShowMessageAside(const MessageSink& sink, const Message& message);

// While one of these lives on a thread, the messages that thread shows are held, and shown
// in the same order when the outermost one ends. Code that takes a lock other threads wait
// for declares one before the lock: the lock is released first, so no message box waits
// for a click while downloads wait for the lock.
class HeldMessages {
 public:
  HeldMessages();
  ~HeldMessages();
  HeldMessages(const HeldMessages&) = delete;
  HeldMessages& operator=(const HeldMessages&) = delete;

  struct Held {
    MessageSink sink;
    std::string text;
    std::string caption;
    MessageIcon icon;
  };

 private:
  bool outermost_;
  std::vector<Held> held_;
  friend bool HoldMessage(const MessageSink&, std::string_view, std::string_view, MessageIcon);
};

}  // namespace qc::platform

// The name the subsystems' message tables use.
namespace qc::messages {
using platform::Message;
using platform::Show;
}  // namespace qc::messages
