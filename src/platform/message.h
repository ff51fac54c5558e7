// The user-facing message: a modal message box on Windows, "caption: text" on standard
// error on the native build (a line feed in the text is a line break there too).
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

enum class MessageIcon { None, Error, Warning };

void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon);

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
    std::string text;
    std::string caption;
    MessageIcon icon;
  };

 private:
  bool outermost_;
  std::vector<Held> held_;
  friend bool HoldMessage(std::string_view, std::string_view, MessageIcon);
};

// Tests route messages into their own sink instead of a real box; an empty function
// restores the real one.
using MessageSink = std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>;
void SetMessageSinkForTesting(MessageSink sink);

// The rendering the native build writes (without the final line feed); exposed so tests
// and tools agree on it.
std::string FormatMessageLine(std::string_view text, std::string_view caption);

}  // namespace qc::platform
