// Windows handle types, without <windows.h>: a SOCKET is pointer-sized, a HANDLE is a
// pointer. Included through platform/native_types.h only.
#pragma once
#include <cstdint>

namespace qc::platform {

using socket_t = std::uintptr_t;  // SOCKET
using native_handle_t = void*;    // HANDLE of a file or kernel object
inline constexpr native_handle_t kNoNativeHandle = nullptr;

// Local paths use backslashes.
inline constexpr char kPathSeparator = '\\';

}  // namespace qc::platform
