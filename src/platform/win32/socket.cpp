#include "platform/socket.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/os_windows.h"

namespace qc::platform {

const socket_t kInvalidSocket = INVALID_SOCKET;

bool SocketLibraryStart() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void SocketLibraryStop() { WSACleanup(); }

socket_t CreateTcpSocket() { return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

static bool BindTo(socket_t s, u_long address, std::uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool BindAnyAddress(socket_t s, std::uint16_t port) { return BindTo(s, INADDR_ANY, port); }
bool BindLoopback(socket_t s, std::uint16_t port) { return BindTo(s, INADDR_LOOPBACK, port); }

bool Listen(socket_t s, int backlog) { return ::listen(s, backlog) == 0; }

std::uint16_t LocalPort(socket_t s) {
  sockaddr_in sa;
  int len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

socket_t Accept(socket_t listener) { return ::accept(listener, nullptr, nullptr); }

long long Receive(socket_t s, char* buffer, std::size_t size) {
  int n = ::recv(s, buffer, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long long Send(socket_t s, const char* data, std::size_t size) {
  int n = ::send(s, data, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void ShutdownSend(socket_t s) { ::shutdown(s, SD_SEND); }

namespace {
// How long one wait lasts before `stop` is looked at again, where a socket has no event.
constexpr long kStopSliceMicroseconds = 100 * 1000;
// A connection socket waits on its own event, which the network and the stop's wake-up set:
// an idle connection costs nothing while it waits. Sliced waits cost each idle connection
// ten wake-ups a second, and under Wine each is a round trip to wineserver: 200 idle
// connections kept 0.37 of a core busy, 1,000 would take the machine. The long backstop
// only guards against a missed signal.
constexpr DWORD kEventBackstopMilliseconds = 10 * 1000;

// Each connection socket's event, from PrepareConnectionSocket until CloseSocket.
std::mutex eventsMutex;
std::unordered_map<socket_t, WSAEVENT>& Events() {
  static auto* events = new std::unordered_map<socket_t, WSAEVENT>();
  return *events;
}

WSAEVENT EventOf(socket_t s) {
  std::lock_guard<std::mutex> lock(eventsMutex);
  auto it = Events().find(s);
  return it == Events().end() ? WSA_INVALID_EVENT : it->second;
}

// Waits until `s` is ready or a slice has passed; false on a socket error.
bool WaitSlice(socket_t s, bool forWrite) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(s, &errors);
  timeval slice{0, kStopSliceMicroseconds};
  int ready = ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &slice);
  return ready != SOCKET_ERROR && !FD_ISSET(s, &errors);
}

// Waits until the network or a wake-up signals `s`; false on a socket error. The caller
// retries its call and looks at `stop` either way.
bool WaitReady(socket_t s, bool forWrite) {
  const WSAEVENT event = EventOf(s);
  if (event == WSA_INVALID_EVENT) return WaitSlice(s, forWrite);
  const DWORD waited = WSAWaitForMultipleEvents(1, &event, FALSE, kEventBackstopMilliseconds, FALSE);
  if (waited == WSA_WAIT_FAILED) return false;
  // Resets the event; the next recv or send that would block arms it again.
  WSANETWORKEVENTS happened;
  return ::WSAEnumNetworkEvents(s, event, &happened) == 0;
}
}  // namespace

void PrepareConnectionSocket(socket_t s) {
  // WSAEventSelect also makes the socket non-blocking.
  WSAEVENT event = WSACreateEvent();
  if (event != WSA_INVALID_EVENT &&
      ::WSAEventSelect(s, event, FD_READ | FD_WRITE | FD_CLOSE) == 0) {
    std::lock_guard<std::mutex> lock(eventsMutex);
    Events()[s] = event;
  } else {
    if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
  }
  BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

long long ReceiveUnlessStopped(socket_t s, char* buffer, std::size_t size,
                               const std::atomic<bool>& stop) {
  for (;;) {
    if (stop.load()) return -1;
    int n = ::recv(s, buffer, static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, false)) return -1;
  }
}

long long SendUnlessStopped(socket_t s, const char* data, std::size_t size,
                            const std::atomic<bool>& stop) {
  for (;;) {
    if (stop.load()) return -1;
    int n = ::send(s, data, static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitReady(s, true)) return -1;
  }
}

long long SendFileUnlessStopped(socket_t, std::intptr_t, std::int64_t, std::int64_t,
                                const std::atomic<bool>&) {
  // TransmitFile moved 80-155 MB/s under Wine where 1 MiB reads and sends moved 320-390
  // (docs/PERFORMANCE.md), and the sends keep the waits that let a stop end them.
  return kFileSendUnsupported;
}

void WakeConnection(socket_t s) {
  ::shutdown(s, SD_SEND);
  const WSAEVENT event = EventOf(s);
  if (event != WSA_INVALID_EVENT) WSASetEvent(event);
}

bool InterruptSocket(socket_t s) {
  // Winsock wakes a blocked call only when the socket is closed.
  ::closesocket(s);
  return true;
}

void CloseSocket(socket_t s) {
  if (s == INVALID_SOCKET) return;
  WSAEVENT event = WSA_INVALID_EVENT;
  {
    std::lock_guard<std::mutex> lock(eventsMutex);
    auto it = Events().find(s);
    if (it != Events().end()) {
      event = it->second;
      Events().erase(it);
    }
  }
  ::closesocket(s);
  if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
}

socket_t ConnectLoopback(std::uint16_t port) {
  socket_t s = CreateTcpSocket();
  if (s == INVALID_SOCKET) return s;
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

}  // namespace qc::platform
