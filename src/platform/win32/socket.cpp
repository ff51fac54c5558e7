#include "platform/socket.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/os_windows.h"
#include "platform/win32/wake_socket.h"
#include "platform/windows_handles.h"

namespace qc::platform {

const socket_t kInvalidSocket = INVALID_SOCKET;

bool SocketLibraryStart() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void SocketLibraryStop() { WSACleanup(); }

SocketError SocketErrorOf(int code) {
  // The names Winsock's documentation gives the failures a start can meet; a user or a
  // helper looks those up, where the system's own texts differ between versions and Wine.
  struct Name {
    int code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {WSAEACCES, "WSAEACCES"},
      {WSAEADDRINUSE, "WSAEADDRINUSE"},
      {WSAEADDRNOTAVAIL, "WSAEADDRNOTAVAIL"},
      {WSAEAFNOSUPPORT, "WSAEAFNOSUPPORT"},
      {WSAEFAULT, "WSAEFAULT"},
      {WSAEINPROGRESS, "WSAEINPROGRESS"},
      {WSAEINVAL, "WSAEINVAL"},
      {WSAEINVALIDPROVIDER, "WSAEINVALIDPROVIDER"},
      {WSAEISCONN, "WSAEISCONN"},
      {WSAEMFILE, "WSAEMFILE"},
      {WSAENETDOWN, "WSAENETDOWN"},
      {WSAENOBUFS, "WSAENOBUFS"},
      {WSAENOTSOCK, "WSAENOTSOCK"},
      {WSAEOPNOTSUPP, "WSAEOPNOTSUPP"},
      {WSAEPROTONOSUPPORT, "WSAEPROTONOSUPPORT"},
      {WSAEPROTOTYPE, "WSAEPROTOTYPE"},
      {WSAEPROVIDERFAILEDINIT, "WSAEPROVIDERFAILEDINIT"},
      {WSAESOCKTNOSUPPORT, "WSAESOCKTNOSUPPORT"},
      {WSANOTINITIALISED, "WSANOTINITIALISED"},
  };
  for (const Name& name : kNames) {
    if (name.code == code) return SocketError{code, name.name};
  }
  return SocketError{code, "Winsock error"};
}

namespace {
// Read at once after the failed call, before another Winsock call can change it.
bool Failed(SocketError* error) {
  if (error != nullptr) *error = SocketErrorOf(WSAGetLastError());
  return false;
}
}  // namespace

socket_t CreateTcpSocket(SocketError* error) {
  const socket_t s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) Failed(error);
  return s;
}

static bool BindTo(socket_t s, u_long address, std::uint16_t port, SocketError* error = nullptr) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || Failed(error);
}

bool BindAnyAddress(socket_t s, std::uint16_t port, SocketError* error) {
  return BindTo(s, INADDR_ANY, port, error);
}
bool BindIPv4(socket_t s, std::uint32_t address, std::uint16_t port) {
  return BindTo(s, address, port);
}

namespace {
// A listening socket is waited for with select, beside a loopback datagram socket of its
// own that the stop sends a byte to. Both are levels: the listener reads ready while a
// connection is pending, and the stop sets `woken` for good before it sends its byte.
// - Closing the listener from another thread is not a dependable way to end a blocked
//   accept: under Wine, after a burst of 10,000 connections, the accept thread stayed
//   blocked in accept for minutes after closesocket, and the stop with it.
// - An FD_ACCEPT event (WSAEventSelect) is an edge, and Wine loses it now and then: after
//   a burst of clients that closed their connections early, the backlog filled while the
//   accepting thread waited for an event that never came, until the server was restarted.
// Only this process can wake the listener: the wake socket is bound exclusively and
// connected to itself, so the stack discards datagrams from any other socket; and what
// does arrive is drained and counts only once `woken` is set, which no datagram can do.
// A port on 127.0.0.1 that any local program could send to once stopped all accepting.
//
// One thread at a time waits and accepts (`turn`); the others queue in the process, so a
// connection wakes one thread rather than every idle one.
//
// Under Wine every socket wait is several round trips to wineserver: a select that waits
// costs five (the poll, its wait, and the wake-up's completion), an accept that finds its
// connection two. So the thread whose turn begins just after another took a connection
// first waits in the process (no round trip) for a grace of `kServingGrace`, and a thread
// that comes back to accept meanwhile (it answered quickly) tries an accept of its own
// before it queues: a client answered quickly has mostly connected again by then (one
// request at a time), and at one request at a time one thread then accepts and serves in
// turn, as a plain loop would. Each accept that finds its connection so starts the grace
// again. A thread that comes back and finds nothing ends the grace: the holder waits on
// the socket as before. A connection that comes while the others still serve waits no
// longer than the grace; then the holder accepts before it selects, and no grace is waited
// again until a thread comes back from serving: a burst of long downloads, or of idle
// connections, is accepted at the socket's pace, not a grace each.
struct ListenerWake {
  socket_t wake = INVALID_SOCKET;  // bound to 127.0.0.1, port of the system's choice
  sockaddr_in address{};
  struct Turn {
    SRWLOCK lock = SRWLOCK_INIT;     // under Wine, unlike a kernel object, no wineserver trip
    std::atomic<bool> woken{false};  // the stop has begun: every accept fails from now on
    bool justAccepted = false;       // under `lock`: the last turn ended with a connection
    // The holder's grace, under `graceLock`; `graceChanged` wakes it (the stop, or a thread
    // that came back and found nothing).
    SRWLOCK graceLock = SRWLOCK_INIT;
    CONDITION_VARIABLE graceChanged = CONDITION_VARIABLE_INIT;
    bool inGrace = false;
    bool takeOver = false;  // a thread that came back found nothing: wait on the socket
    bool extended = false;  // a thread that came back took a connection: wait once more
    // Off once a grace ran out (the threads serve long: a burst of downloads or of idle
    // connections must not wait a grace each), on again when a thread comes back.
    bool useful = true;
  };
  std::shared_ptr<Turn> turn;
};
std::mutex listenersMutex;
std::map<socket_t, ListenerWake> listeners;

bool FindListener(socket_t s, ListenerWake& found) {
  std::lock_guard<std::mutex> guard(listenersMutex);
  auto it = listeners.find(s);
  if (it == listeners.end()) return false;
  found = it->second;
  return true;
}

void ForgetListener(socket_t s) {
  ListenerWake wake;
  {
    std::lock_guard<std::mutex> guard(listenersMutex);
    auto it = listeners.find(s);
    if (it == listeners.end()) return;
    wake = it->second;
    listeners.erase(it);
  }
  // The map's entries are copied out by FindListener: the wake socket is owned here only.
  const UniqueSocket closing(wake.wake);
}

}  // namespace

UniqueSocket OpenWakeSocket(sockaddr_in& address) {
  UniqueSocket owned(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!owned) return owned;
  const socket_t s = owned.get();
  // No other socket may bind the same port and send from the one address the connected
  // socket accepts. Not every Winsock knows the option; the drain-and-check still holds.
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof address;
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    return UniqueSocket();
  }
  return owned;
}

void DrainWakeSocket(socket_t s) {
  char bytes[64];
  for (int i = 0; i < 1024; ++i) {
    if (::recv(s, bytes, sizeof bytes, 0) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      return;
    }
  }
}

bool Listen(socket_t s, int backlog, SocketError* error) {
  if (::listen(s, backlog) != 0) return Failed(error);
  ListenerWake wake;
  UniqueSocket wakeSocket = OpenWakeSocket(wake.address);
  // Non-blocking, so that an accept after select never blocks on a connection that went
  // away meanwhile. Without a wake socket it stays a plain blocking listener.
  u_long nonBlocking = 1;
  if (wakeSocket && ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0) {
    wake.wake = wakeSocket.release();  // ForgetListener closes it
    wake.turn = std::make_shared<ListenerWake::Turn>();
    std::lock_guard<std::mutex> guard(listenersMutex);
    listeners[s] = wake;
  }
  return true;
}

namespace {
socket_t AcceptWithAddress(socket_t listener, std::uint32_t* peer) {
  sockaddr_in address;
  int size = sizeof address;
  socket_t s = ::accept(listener, reinterpret_cast<sockaddr*>(&address), &size);
  if (peer != nullptr) {
    *peer = s != INVALID_SOCKET && size >= static_cast<int>(sizeof address) &&
                    address.sin_family == AF_INET
                ? ntohl(address.sin_addr.s_addr)
                : 0;
  }
  return s;
}
}  // namespace

namespace {
// How long the holder of the turn waits in the process after the last accept before it
// looks at the socket (see ListenerWake). Longer than a small answer takes under Wine on a
// busy machine, short enough that nobody notices the wait of a connection that comes while
// every other thread serves.
// Counted by the waits' own time limits, not by reading a clock: under Wine the tick count
// (GetTickCount64) moves only while wineserver is busy, and with every other thread waiting
// on an idle connection a grace measured by it never ended, with clients in the backlog.
constexpr DWORD kServingGraceMilliseconds = 10;

// A thread back from serving, while the holder of the turn waits out its grace: takes a
// waiting connection itself, without the turn. Returns kInvalidSocket, with `failure` 0,
// when there was no grace to use or nothing was waiting (the holder then waits on the
// socket); with the error when the accept failed otherwise.
socket_t AcceptDuringGrace(socket_t listener, ListenerWake::Turn& turn, std::uint32_t* peer,
                           bool comesBack, int& failure) {
  failure = 0;
  AcquireSRWLockExclusive(&turn.graceLock);
  if (comesBack) turn.useful = true;
  const bool inGrace = turn.inGrace && !turn.woken.load();
  ReleaseSRWLockExclusive(&turn.graceLock);
  if (!inGrace) return INVALID_SOCKET;
  const socket_t s = AcceptWithAddress(listener, peer);
  const int error = s == INVALID_SOCKET ? WSAGetLastError() : 0;
  AcquireSRWLockExclusive(&turn.graceLock);
  if (s != INVALID_SOCKET) {
    turn.extended = true;
  } else {
    turn.takeOver = true;
  }
  ReleaseSRWLockExclusive(&turn.graceLock);
  if (s == INVALID_SOCKET) {
    WakeConditionVariable(&turn.graceChanged);
    if (error != WSAEWOULDBLOCK) failure = error;
  }
  return s;
}

// The holder's grace. True when it ran out (a connection may be waiting that nobody took:
// accept before selecting); false when a thread came back and found nothing, or the stop.
bool WaitOutGrace(ListenerWake::Turn& turn) {
  AcquireSRWLockExclusive(&turn.graceLock);
  if (!turn.useful) {
    ReleaseSRWLockExclusive(&turn.graceLock);
    return false;
  }
  turn.inGrace = true;
  turn.takeOver = false;
  turn.extended = false;
  bool ranOut = false;
  while (!turn.takeOver && !turn.woken.load()) {
    if (SleepConditionVariableSRW(&turn.graceChanged, &turn.graceLock, kServingGraceMilliseconds,
                                  0)) {
      continue;  // woken: the loop looks at why
    }
    if (GetLastError() != ERROR_TIMEOUT) break;
    if (!turn.extended) {
      ranOut = true;
      turn.useful = false;
      break;
    }
    turn.extended = false;
  }
  turn.inGrace = false;
  ReleaseSRWLockExclusive(&turn.graceLock);
  return ranOut;
}
}  // namespace

socket_t Accept(socket_t listener, int* error, std::uint32_t* peer) {
  ListenerWake wake;
  if (!FindListener(listener, wake)) {
    socket_t s = AcceptWithAddress(listener, peer);
    if (s == INVALID_SOCKET && error != nullptr) *error = WSAGetLastError();
    return s;
  }
  ListenerWake::Turn& turn = *wake.turn;
  // Whether this thread took a connection the last time: it comes back from serving.
  thread_local bool servedLastTime = false;
  const bool comesBack = servedLastTime;
  servedLastTime = false;
  int failure = 0;
  socket_t s = AcceptDuringGrace(listener, turn, peer, comesBack, failure);
  servedLastTime = s != INVALID_SOCKET;
  if (s != INVALID_SOCKET || failure != 0) {
    if (s == INVALID_SOCKET && error != nullptr) *error = failure;
    return s;
  }
  AcquireSRWLockExclusive(&turn.lock);
  // Right after another thread took a connection: see ListenerWake.
  bool acceptFirst = turn.justAccepted && WaitOutGrace(turn);
  for (;;) {
    if (turn.woken.load()) {
      failure = WSAEINTR;  // the stop: the caller looks at why
      break;
    }
    if (acceptFirst) {
      acceptFirst = false;
      s = AcceptWithAddress(listener, peer);
      if (s != INVALID_SOCKET) break;
      failure = WSAGetLastError();
      if (failure != WSAEWOULDBLOCK) break;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    FD_SET(wake.wake, &ready);
    if (::select(0, &ready, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
      failure = WSAGetLastError();  // a wait that cannot work: the caller pauses and retries
      break;
    }
    if (FD_ISSET(wake.wake, &ready)) {
      // The stop's byte, or a datagram that changes nothing: the flag above decides.
      DrainWakeSocket(wake.wake);
      continue;
    }
    // The accepted socket inherits the listener's non-blocking mode, which
    // PrepareConnectionSocket wants anyway.
    s = AcceptWithAddress(listener, peer);
    if (s != INVALID_SOCKET) break;
    failure = WSAGetLastError();
    if (failure != WSAEWOULDBLOCK) break;  // else the client went away meanwhile
  }
  turn.justAccepted = s != INVALID_SOCKET;
  ReleaseSRWLockExclusive(&turn.lock);
  servedLastTime = s != INVALID_SOCKET;
  if (s == INVALID_SOCKET && error != nullptr) *error = failure;
  return s;
}

bool IsTransientAcceptError(int error) {
  switch (error) {
    // Out of socket handles or buffer space: others will be released.
    case WSAEMFILE:
    case WSAENOBUFS:
    case ERROR_NOT_ENOUGH_MEMORY:
    // The client went away before it was accepted, or the call was interrupted.
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAENETDOWN:
    case WSAETIMEDOUT:
      return true;
    default:
      return false;
  }
}

namespace {
// Windows sets no small limit on sockets (a process holds up to 16 million handles), so
// nothing need be kept back for the control channel or the files served. A connection
// waiting for its head holds no thread (its head waits parked in the readiness loop), only
// its socket and what its head has filled of its buffer; so, as natively, the budget keeps
// what a crowd of them may hold at worst within an eighth of the machine's memory.
constexpr unsigned long long kMemoryShare = 8;
// Where the memory cannot be read: what a thread per connection allowed before.
constexpr std::size_t kUnknownMemoryBudget = 4096;
}  // namespace

std::size_t ClientConnectionBudget(std::size_t worstBytes) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (worstBytes == 0 || !GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) {
    return kUnknownMemoryBudget;
  }
  return static_cast<std::size_t>(
      std::max<unsigned long long>(status.ullTotalPhys / kMemoryShare / worstBytes, 1));
}

long long Receive(socket_t s, char* buffer, std::size_t size) {
  int n = ::recv(s, buffer, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long long Send(socket_t s, const char* data, std::size_t size) {
  int n = ::send(s, data, static_cast<int>(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool ShutdownSend(socket_t s) { return ::shutdown(s, SD_SEND) == 0; }

namespace {
// How long one wait lasts before `stop` is looked at again.
constexpr long kStopSliceMicroseconds = 100 * 1000;

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
}  // namespace

void PrepareConnectionSocket(socket_t s, std::chrono::milliseconds) {
  // The stall limit is checked between the slices of SendUnlessStopped.
  u_long nonBlocking = 1;
  ::ioctlsocket(s, FIONBIO, &nonBlocking);
  BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool PrepareAcceptedSockets(socket_t listener, std::chrono::milliseconds) {
  // An accepted socket has the listener's properties: its non-blocking mode (set in Listen
  // when the wake socket could be made) and TCP_NODELAY. Set once here, that spares every
  // connection an ioctlsocket and a setsockopt: under Wine, three wineserver round trips
  // of the twenty-odd a small answer costs. A test checks the inheritance.
  ListenerWake wake;
  if (!FindListener(listener, wake)) return false;
  BOOL on = TRUE;
  return ::setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

void SignalWakeEvent(WakeEvent& wake) {
  const std::uintptr_t event = wake.load();
  if (event != 0) SetEvent(reinterpret_cast<HANDLE>(event));
}

void CloseWakeEvent(WakeEvent& wake) {
  // Kept by portable callers as a number; this is its one close.
  UniqueHandle(reinterpret_cast<HANDLE>(wake.exchange(0))).reset();
}

namespace {
// Waits until `s` can be read, `wake` is signalled or `deadline` passes, without waking
// in between. False unless the socket is ready.
bool WaitReadable(socket_t s, HANDLE wake, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  const UniqueWsaEvent ready(WSACreateEvent());
  if (!ready) return WaitSlice(s, false);
  // Signalled at once when data (or the peer's close) is already there.
  bool readable = false;
  if (WSAEventSelect(s, ready.get(), FD_READ | FD_CLOSE) == 0) {
    HANDLE both[2] = {ready.get(), wake};
    const DWORD waited = WaitForMultipleObjects(
        2, both, FALSE, static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFF)));
    readable = waited == WAIT_OBJECT_0;
    WSAEventSelect(s, nullptr, 0);  // the socket stays non-blocking
  }
  return readable;
}
}  // namespace

long long ReceiveUnlessStopped(socket_t s, char* buffer, std::size_t size,
                               const std::atomic<bool>& stop,
                               std::chrono::steady_clock::time_point deadline, WakeEvent* wake) {
  for (;;) {
    if (stop.load()) return -1;
    int n = ::recv(s, buffer, static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    HANDLE event = wake != nullptr ? reinterpret_cast<HANDLE>(wake->load()) : nullptr;
    if (wake != nullptr && event == nullptr) {
      event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (event != nullptr) {
        wake->store(reinterpret_cast<std::uintptr_t>(event));
        // A stop that looked before the store found no event to signal: its flag tells.
        if (stop.load()) return -1;
      }
    }
    if (event == nullptr) {
      if (!WaitSlice(s, false)) return -1;
      continue;
    }
    // Not readable: the stop, the time limit, or a wait that could not be set up (the next
    // receive then tells).
    if (!WaitReadable(s, event, deadline) &&
        (stop.load() || std::chrono::steady_clock::now() >= deadline)) {
      return -1;
    }
  }
}

long long SendUnlessStopped(socket_t s, const char* data, std::size_t size,
                            const std::atomic<bool>& stop, std::chrono::milliseconds stallLimit) {
  const auto giveUp = std::chrono::steady_clock::now() + stallLimit;
  for (;;) {
    if (stop.load()) return -1;
    int n = ::send(s, data, static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    if (std::chrono::steady_clock::now() >= giveUp || !WaitSlice(s, true)) return -1;
  }
}

long long SendFileUnlessStopped(socket_t, std::intptr_t, std::int64_t, std::int64_t,
                                const std::atomic<bool>&) {
  // TransmitFile moved 80-155 MB/s under Wine where 1 MiB reads and sends moved 320-390
  // (docs/PERFORMANCE.md), and the sends keep the waits that let a stop end them.
  return kFileSendUnsupported;
}

namespace {
// Waits a slice for `s` to be writable: 1 writable, 0 not yet, -1 a failed wait.
int WritableWithinASlice(socket_t s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval slice{0, kStopSliceMicroseconds};
  const int ready = ::select(0, nullptr, &set, nullptr, &slice);
  return ready == SOCKET_ERROR ? -1 : (ready > 0 ? 1 : 0);
}
}  // namespace

namespace {
// Waits up to `microseconds` (0: only looks) for `s` to be readable: 1 readable (or
// closed, or reset: the receive tells), 0 not yet, -1 a failed wait. Readable alone, not
// WaitSlice's read-and-errors pair: with one linger after every answer, wineserver 8 was
// seen to die on that pair (sock.c complete_async_poll: "output->count ==
// signaled_count"), a candidate for the rare Wine crash at stop too.
int ReadableWithin(socket_t s, long microseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval wait{microseconds / 1'000'000, microseconds % 1'000'000};
  const int ready = ::select(0, &set, nullptr, nullptr, &wait);
  return ready == SOCKET_ERROR ? -1 : (ready > 0 ? 1 : 0);
}

// The same for a slice at most, less when `deadline` is nearer.
int ReadableWithinASlice(socket_t s, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) return 0;
  return ReadableWithin(
      s, left < kStopSliceMicroseconds ? static_cast<long>(left) : kStopSliceMicroseconds);
}
}  // namespace

DrainEnd DrainUntilClosed(socket_t s, const std::atomic<bool>& stop,
                          std::chrono::steady_clock::time_point deadline, long long byteLimit,
                          long long* droppedBytes) {
  if (droppedBytes != nullptr) *droppedBytes = 0;
  // A look without waiting asks first whether anything is there at all: under Wine a poll
  // that finds nothing is two round trips to wineserver (its request and its result), a
  // receive that finds nothing three (its descriptor, the receive, its result), and the
  // small answer's look finds nothing almost always (docs/PERFORMANCE.md).
  if (std::chrono::steady_clock::now() >= deadline) {
    const int ready = ReadableWithin(s, 0);
    if (ready < 0) return DrainEnd::Reset;
    if (ready == 0) return DrainEnd::StillOpen;
  }
  char dropped[4096];
  long long total = 0;
  while (total < byteLimit) {
    if (stop.load()) return DrainEnd::StillOpen;
    const int n = ::recv(s, dropped, static_cast<int>(sizeof dropped), 0);
    // Closed by the client (or woken by the stop, which `stop` then tells). Wine 8 also
    // returns 0 for a reset that follows the shutdown; Windows fails with WSAECONNRESET.
    if (n == 0) return stop.load() ? DrainEnd::StillOpen : DrainEnd::Closed;
    if (n > 0) {
      total += n;
      if (droppedBytes != nullptr) *droppedBytes = total;
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return DrainEnd::Reset;
    int readable = 0;
    while (readable == 0) {
      if (stop.load() || std::chrono::steady_clock::now() >= deadline) return DrainEnd::StillOpen;
      readable = ReadableWithinASlice(s, deadline);
    }
    if (readable < 0) return DrainEnd::Reset;
  }
  return DrainEnd::StillOpen;
}

// Windows has no count of the bytes not yet acknowledged that also works under Wine:
// SIO_TCP_INFO (Windows 10 1703 and later) fails there with WSAEOPNOTSUPP (Wine 8), and
// its BytesInFlight leaves out bytes the client's full window holds back, the very case
// here. A send buffer of 0 does tell: with nothing to be buffered, the socket is writable
// again only once the sends buffered before have completed, which they do when the client
// acknowledges them. Under Wine (measured with Wine 8) the host socket takes its smallest
// buffer (4,608 bytes on Linux) and is writable once its queue, sent or not, has drained
// below half of that: a client that read 1,000 bytes of 3 MB and closed never made it
// writable, one that read everything did. A client that resets the connection empties the
// queue too, so a send of nothing, which fails on a reset connection, tells the two apart;
// after the last send the caller's shutdown tells it instead, as it fails likewise, and the
// buffer is left at 0 (three and two round trips to wineserver less per answer). No
// progress can be seen meanwhile, so the stall limit counts from the start.
bool WaitUntilAcknowledged(socket_t s, const std::atomic<bool>& stop,
                           std::chrono::milliseconds stallLimit, bool moreFollows) {
  // The size to go back to is asked for only when a send follows: after the last one the
  // close needs no buffer, and under Wine each call is a round trip to wineserver.
  int previous = 0;
  int size = sizeof previous;
  if (moreFollows &&
      ::getsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&previous), &size) != 0) {
    return false;
  }
  const int none = 0;
  if (::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&none), sizeof none) !=
      0) {
    return false;
  }
  const auto giveUp = std::chrono::steady_clock::now() + stallLimit;
  bool taken = false;
  while (!stop.load()) {
    const int writable = WritableWithinASlice(s);
    if (writable < 0) break;
    if (writable > 0) {
      // Told apart from a reset here only where a send follows (see socket.h).
      taken = !moreFollows || ::send(s, "", 0, 0) == 0;
      break;
    }
    if (std::chrono::steady_clock::now() >= giveUp) break;
  }
  // The last piece goes out as any other send.
  if (moreFollows) {
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&previous),
                 sizeof previous);
  }
  return taken && !stop.load();
}

bool AcknowledgedAfterShutdown() { return false; }

void WakeConnection(socket_t s) { ::shutdown(s, SD_SEND); }

bool InterruptSocket(socket_t s) {
  ListenerWake wake;
  if (FindListener(s, wake)) {
    // Set first: whichever thread drains the byte, it and every later one find it set.
    wake.turn->woken.store(true);
    // A holder in its grace (Accept) looks at the flag once woken; the lock orders the two.
    AcquireSRWLockExclusive(&wake.turn->graceLock);
    ReleaseSRWLockExclusive(&wake.turn->graceLock);
    WakeAllConditionVariable(&wake.turn->graceChanged);
    const char byte = 0;
    if (::send(wake.wake, &byte, 1, 0) == 1) {
      return false;  // its owner closes it once the accepting thread has ended
    }
    ForgetListener(s);
  }
  // Without a wake socket, Winsock wakes a blocked accept only when the socket is closed.
  ::closesocket(s);
  return true;
}

void CloseSocket(socket_t s) {
  if (s == INVALID_SOCKET) return;
  ForgetListener(s);
  ::closesocket(s);
}

std::uint16_t ListenerWakePort(socket_t s) {
  ListenerWake wake;
  return FindListener(s, wake) ? ntohs(wake.address.sin_port) : 0;
}

}  // namespace qc::platform
