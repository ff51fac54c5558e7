// The user-facing message: a modal message box on Windows, "caption: text" on standard
// error on the native build (a line feed in the text is a line break there too).
#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace qc::platform {

enum class MessageIcon { None, Error, Warning };

void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon);

// Tests route messages into their own sink instead of a real box; an empty function
// restores the real one.
using MessageSink = std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>;
void SetMessageSinkForTesting(MessageSink sink);

// The rendering the native build writes (without the final line feed); exposed so tests
// and tools agree on it.
std::string FormatMessageLine(std::string_view text, std::string_view caption);

}  // namespace qc::platform
