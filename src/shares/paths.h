// The separator of physical (local) paths. Windows paths use backslashes; the native build
// serves POSIX paths, so it cuts file names at "/" instead.
#pragma once

namespace qc {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace qc
