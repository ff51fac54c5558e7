// The control panel's rules that need no window, kept apart from the windows so they can
// be checked directly on every build: the port field's number, a share row's two columns,
// how a chosen file completes the New share window's virtual path, and the URL copy of
// the selected rows.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "shares/settings_file.h"
#include "shares/share_registry.h"
#include "shares/share_url.h"

namespace qc::ui {

// The "File" column of a share whose virtual path has no "/".
inline constexpr char kInvalidVirtualPath[] = "error, virtual path is invalid";

// The number at the start of the port field as atoi reads it: leading white space, an
// optional sign, decimal digits up to the first other character; 0 without digits. Values
// beyond the int range are clamped to it, as the C library's conversion does.
int ParsePortText(const char* text);

// The low 16 bits of that number: what the settings store.
std::uint16_t StoredPort(int number);

struct ShareRowTexts {
  std::string file;    // column "File": after the last "/"
  std::string folder;  // column "Virtual folder": up to and including the last "/"
};

// The two columns of a share's row. A path without any "/" still gets a row, with the
// invalid-path text, so rows and shares stay aligned.
ShareRowTexts SplitVirtualPath(const std::string& virtualPath);

// After a file was chosen in the open-file dialog: the new text of the virtual-file edit,
// or none when the edit keeps its text. An empty edit becomes "/" and the file name; a
// text ending in "/" is a folder and gets the file name appended.
std::optional<std::string> CompleteVirtualFile(const std::string& currentText,
                                               const std::string& chosenPath);

// "Copy to clipboard": the URLs of the shares at the selected rows (ascending row
// numbers), joined by "\r\n", onto `services`' clipboard, the host found through its
// addresses. The clipboard is closed again when this returns.
UrlCopy CopySelectedUrls(const platform::Services& services, const ServerSettings& settings,
                         ShareRegistry& shares, const std::vector<int>& selectedRows);
// Tells the user (through `sink`) about a copy that was refused; the other results pass
// silently.
void ReportSelectedUrlCopy(const platform::MessageSink& sink, UrlCopy result);

// What the panel shares: a file, or a path where one may be about to be made; never a
// folder, a device or a pipe (kNotAFile).
bool IsFileOrMissing(const std::string& path);

}  // namespace qc::ui
