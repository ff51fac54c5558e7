#include "platform/codepage.h"

namespace qc::platform {

// The native build's 8-bit strings are UTF-8 already.
std::string Utf8ToAnsi(const std::string& utf8) { return utf8; }
std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8) { return utf8; }

}  // namespace qc::platform
