// The one place that includes <windows.h>. Only src/platform/win32 and src/ui include it.
#pragma once
#ifndef _WIN32
#error "os_windows.h is for the Windows build only"
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
