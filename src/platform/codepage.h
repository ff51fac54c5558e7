#pragma once
#include <string>

namespace qc::platform {

// UTF-8 to the system's ANSI code page. Windows: UTF-8 -> UTF-16 -> ANSI, characters the
// code page lacks become its default character. Native: the bytes stay UTF-8.
std::string Utf8ToAnsi(const std::string& utf8);
// And back: what a link in the ANSI code page is to others (a phone reading its QR code).
std::string AnsiToUtf8(const std::string& ansi);

}  // namespace qc::platform
