// The native backend's own helpers: where the control socket and the instance lock live.
// Not part of the platform's interface; the native command line reads them too, as it
// reports on that directory in its own words.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

namespace qc::platform {

// Empty when `path` may hold the socket and the instance lock: a directory, not a symbolic
// link, owned by `uid`, writable by nobody else. Otherwise what is wrong, in words.
std::string CheckRuntimeDirectory(const std::string& path, uid_t uid);
// $XDG_RUNTIME_DIR, else /tmp/quillcast-UID (created with mode 0700 when missing); none,
// with `problem` set, when that directory fails the check above.
std::optional<std::string> RuntimeDirectory(std::string* problem = nullptr);
// The control socket's path (empty when the runtime directory is refused).
std::string ControlSocketPath();

}  // namespace qc::platform
