#include "platform/codepage.h"

namespace qc::platform {

// The native build's 8-bit strings are UTF-8 already.
std::string Utf8ToAnsi(const std::string& utf8) { return utf8; }
std::string AnsiToUtf8(const std::string& ansi) { return ansi; }

AnsiPath AnsiPathOf(const std::string& utf8Path) { return {AnsiPathKind::Exact, utf8Path}; }
std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8) { return utf8; }

}  // namespace qc::platform
