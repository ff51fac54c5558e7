#include "platform/readiness.h"

#include "platform/os_windows.h"

namespace qc::platform {

// No readiness loop yet: the server keeps a thread per connection here, each waiting on
// its own socket's event (socket.cpp).
Readiness::Readiness() = default;
// Written out rather than defaulted: the class is not trivially destructible natively,
// and one declaration serves both builds.
Readiness::~Readiness() {}
bool Readiness::Valid() const { return false; }
bool Readiness::WatchListener(socket_t, void*) { return false; }
bool Readiness::PauseListener(socket_t, void*, bool) { return false; }
bool Readiness::WatchOnce(socket_t, void*) { return false; }
bool Readiness::Rearm(socket_t, void*) { return false; }
bool Readiness::Wait(std::vector<void*>& ready, std::chrono::milliseconds, void*) {
  ready.clear();
  return false;
}
void Readiness::Wake() {}

long long ReceiveNow(socket_t s, char* buffer, std::size_t size) {
  // Connection sockets are non-blocking here (socket.cpp), so a receive never waits.
  const int n = ::recv(s, buffer, static_cast<int>(size), 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingYet : -1;
}

bool IsNothingToAccept(int error) { return error == WSAEWOULDBLOCK; }

}  // namespace qc::platform
