// The handle types and path rules that differ between the backends, picked here once so
// that no class above the platform layer has to ask which system it runs on. Each backend
// keeps its own in platform/<backend>/types.h.
#pragma once
#ifdef _WIN32
#include "platform/win32/types.h"
#else
#include "platform/posix/types.h"
#endif
