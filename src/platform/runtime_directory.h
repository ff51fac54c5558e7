// Where the native build keeps its control socket and instance lock: a directory of the
// user's alone. Public, as the native command reports on it in its own words. The Windows
// build keeps both in named kernel objects and has no such directory.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qc::platform {

// Empty when `path` may hold the socket and the instance lock: a directory, not a symbolic
// link, owned by user `uid`, writable by nobody else. Otherwise what is wrong, in words.
std::string CheckRuntimeDirectory(const std::string& path, std::uint32_t uid);
// $XDG_RUNTIME_DIR, else /tmp/quillcast-UID (created with mode 0700 when missing); none,
// with `problem` set, when that directory fails the check above.
std::optional<std::string> RuntimeDirectory(std::string* problem = nullptr);
// The control socket's path (empty when the runtime directory is refused).
std::string ControlSocketPath();

}  // namespace qc::platform
