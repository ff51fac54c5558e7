#pragma once
#include <optional>
#include <string>
#ifdef _WIN32
#include <string_view>
#endif

namespace qc::platform {

// UTF-8 to the system's ANSI code page. Windows: UTF-8 -> UTF-16 -> ANSI, characters the
// code page lacks become its default character. Native: the bytes stay UTF-8.
std::string Utf8ToAnsi(const std::string& utf8);
// And back: what a link in the ANSI code page is to others (a phone reading its QR code).
std::string AnsiToUtf8(const std::string& ansi);

// What a path that reached the program whole, in UTF-8, becomes as the 8-bit path of the
// ANSI code page that the rest of the program opens, stores and links. On Windows the
// system hands over such paths in UTF-16 (the wide command line, dropped files, the
// open-file dialog); natively every path is UTF-8 already and converts as it is.
enum class AnsiPathKind {
  Exact,        // the code page holds every character: the same path
  ShortName,    // it does not, and the file's short (8.3) name, which it holds, stands in
  Unreachable,  // neither: no path of this code page reaches the file
};
struct AnsiPath {
  AnsiPathKind kind = AnsiPathKind::Exact;
  // Exact and ShortName: the path to use. Unreachable: the path as the code page shows it
  // (the characters it lacks as its default character), to name the file to the user.
  std::string path;
};
// Never converts by best fit: a character the code page lacks is never taken for a
// look-alike that may name another file.
AnsiPath AnsiPathOf(const std::string& utf8Path);

#ifdef _WIN32
// The system's UTF-16 text, where it hands it over, as UTF-8 (every character converts).
std::string WideToUtf8(std::wstring_view wide);
// ANSI text as UTF-16, for the wide calls.
std::wstring AnsiToWide(std::string_view ansi);
#endif
// The same conversion where only an exact one will do (a request's path, which must name
// a share or none): none when the text is not valid UTF-8 or holds a character the code
// page lacks, which would become the default character or a look-alike (no best-fit
// mapping: a full-width dot must not turn into a dot). Native: the bytes as they are.
std::optional<std::string> Utf8ToAnsiExact(const std::string& utf8);

}  // namespace qc::platform
