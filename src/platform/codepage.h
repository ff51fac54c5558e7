#pragma once
#include <optional>
#include <string>

namespace qc::platform {

// UTF-8 to the system's ANSI code page. Windows: UTF-8 -> UTF-16 -> ANSI, characters the
// code page lacks become its default character. Native: the bytes stay UTF-8.
std::string Utf8ToAnsi(const std::string& utf8);
// The same conversion where only an exact one will do (a request's path, which must name
// a share or none): none when the text is not valid UTF-8 or holds a character the code
// page lacks, which would become the default character or a look-alike (no best-fit
// mapping: a full-width dot must not turn into a dot). Native: the bytes as they are.
std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8);

}  // namespace qc::platform
