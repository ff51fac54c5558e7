// The socket a thread waiting on other sockets is woken through: the listeners' wake-up
// (socket.cpp) and the readiness wait's (readiness.cpp). Backend-internal.
#pragma once
#include "platform/os_windows.h"
#include "platform/socket.h"
#include "platform/windows_handles.h"

namespace qc::platform {

// A non-blocking datagram socket bound to 127.0.0.1 (a port of the system's choice) and
// connected to itself: a byte sent on it makes it readable, so a select or WSAPoll that
// includes it ends. Invalid when the system refused one.
UniqueSocket OpenWakeSocket(sockaddr_in& address);
// Reads whatever waits on a wake socket, so that it reads ready again only when something
// new arrives.
void DrainWakeSocket(socket_t s);

}  // namespace qc::platform
