// The one place that includes <windows.h>. Only src/platform/win32 and src/ui include it.
// How it is seen (lean, no min/max macros, Windows 7 and later) is set once, by the build.
#pragma once
#ifndef _WIN32
#error "os_windows.h is for the Windows build only"
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
