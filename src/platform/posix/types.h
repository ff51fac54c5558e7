// POSIX handle types: sockets and files are both descriptors. Included through
// platform/native_types.h only.
#pragma once

namespace qc::platform {

using socket_t = int;
using native_handle_t = int;  // a file descriptor
inline constexpr native_handle_t kNoNativeHandle = -1;

// The native build serves POSIX paths.
inline constexpr char kPathSeparator = '/';

}  // namespace qc::platform
