#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace qc::platform {

const socket_t kInvalidSocket = -1;

bool SocketLibraryStart() {
  // A peer that goes away mid-download must fail the send, not kill the server.
  signal(SIGPIPE, SIG_IGN);
  // The soft limit is what the session happened to start the program with; the hard one
  // is what the system allows it. An unlimited hard limit cannot be the soft one (Linux
  // caps descriptors at fs.nr_open), so that case keeps the soft limit as it is.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max &&
      limit.rlim_max != RLIM_INFINITY) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return true;
}

void SocketLibraryStop() {}

SocketError SocketErrorOf(int code) { return SocketError{code, std::strerror(code)}; }

namespace {
// Read at once after the failed call, before anything else can change errno.
bool Failed(SocketError* error) {
  if (error != nullptr) *error = SocketErrorOf(errno);
  return false;
}
}  // namespace

socket_t CreateTcpSocket(SocketError* error) {
  const socket_t s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) Failed(error);
  return s;
}

static bool BindTo(socket_t s, std::uint32_t address, std::uint16_t port,
                   SocketError* error = nullptr) {
  // Linux refuses the bind while connections the last server closed linger in TIME_WAIT,
  // so a restart within a minute of serving would fail; Windows binds regardless. On
  // Linux this option still refuses a second listener on the port, unlike its Windows
  // namesake, so "port in use" keeps its meaning.
  int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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

bool Listen(socket_t s, int backlog, SocketError* error) {
  return ::listen(s, backlog) == 0 || Failed(error);
}

socket_t Accept(socket_t listener, int* error, std::uint32_t* peer) {
  sockaddr_in address;
  socklen_t size = sizeof address;
  socket_t s =
      ::accept4(listener, peer != nullptr ? reinterpret_cast<sockaddr*>(&address) : nullptr,
                peer != nullptr ? &size : nullptr, SOCK_CLOEXEC);
  if (s < 0 && error != nullptr) *error = errno;
  if (peer != nullptr) {
    *peer = s >= 0 && size >= sizeof address && address.sin_family == AF_INET
                ? ntohl(address.sin_addr.s_addr)
                : 0;
  }
  return s;
}

bool IsTransientAcceptError(int error) {
  switch (error) {
    // Out of descriptors, buffers or memory: others will be released.
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    // The client went away before it was accepted, or a signal came.
    case ECONNABORTED:
    case EINTR:
    case EAGAIN:
    // Linux passes pending network errors of the new connection on to accept (accept(2)
    // asks callers to treat them like EAGAIN); a firewall may refuse one connection.
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

namespace {
// Descriptors the server keeps for itself whatever the connections do: the standard
// streams, the listening socket, the control socket and a client of it, the signal pipe,
// the instance lock, a settings or share-list save (temporary file and directory), and
// room for the sanitizers' own pipes in test builds.
constexpr rlim_t kServerOwnDescriptors = 16;
// Where the limit is "unlimited", connections are bounded by threads and memory instead;
// this only keeps the arithmetic finite.
constexpr rlim_t kUnlimitedDescriptors = 1 << 20;
// The share of the machine's memory that connections waiting for their heads may hold at
// worst: every one of them with a head as long as allowed that never ends.
constexpr unsigned long long kMemoryShare = 8;
}  // namespace

std::size_t ClientConnectionBudget(std::size_t worstBytes) {
  rlimit limit{};
  rlim_t available = kUnlimitedDescriptors;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    available = std::min(limit.rlim_cur, kUnlimitedDescriptors);
  }
  // Half of what the server's own leave: each connection may open the file it serves.
  // At least one, so that a server started with very few descriptors still serves.
  rlim_t budget = available > kServerOwnDescriptors ? (available - kServerOwnDescriptors) / 2 : 0;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0 && worstBytes > 0) {
    const auto memory =
        static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize);
    budget = std::min<rlim_t>(budget, static_cast<rlim_t>(memory / kMemoryShare / worstBytes));
  }
  return static_cast<std::size_t>(std::max<rlim_t>(budget, 1));
}

long long Receive(socket_t s, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(s, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long long Send(socket_t s, const char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::send(s, data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool ShutdownSend(socket_t s) { return ::shutdown(s, SHUT_WR) == 0; }

static bool SetConnectionOptions(socket_t s, std::chrono::milliseconds sendStallLimit) {
  // A blocking send then returns what it sent, or fails with EAGAIN, once it has waited
  // this long without the client taking a byte. Set on the socket, it holds for every
  // kind of send on it (send, sendfile) without a system call more per piece.
  const long long ms = sendStallLimit.count() > 0 ? sendStallLimit.count() : 1;
  timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  int on = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
         ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

void PrepareConnectionSocket(socket_t s, std::chrono::milliseconds sendStallLimit) {
  SetConnectionOptions(s, sendStallLimit);
}

bool PrepareAcceptedSockets(socket_t listener, std::chrono::milliseconds sendStallLimit) {
#ifdef __linux__
  // Linux builds an accepted socket as a copy of the listening one, these options included
  // (a test checks it on every build).
  return SetConnectionOptions(listener, sendStallLimit);
#else
  (void)listener;
  (void)sendStallLimit;
  return false;
#endif
}

void SignalWakeEvent(WakeEvent&) {}
void CloseWakeEvent(WakeEvent&) {}

long long ReceiveUnlessStopped(socket_t s, char* buffer, std::size_t size,
                               const std::atomic<bool>& stop,
                               std::chrono::steady_clock::time_point deadline, WakeEvent*) {
  for (;;) {
    if (stop.load()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    // What a client sends right after connecting is usually there by the time its
    // connection is served: reading before waiting saves the poll.
    const ssize_t n = ::recv(s, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // WakeConnection's shutdown ends the wait as well (the socket reads as closed).
    pollfd p{s, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    if (ready < 0 && errno != EINTR) return -1;
  }
}

long long SendUnlessStopped(socket_t s, const char* data, std::size_t size,
                            const std::atomic<bool>& stop, std::chrono::milliseconds) {
  // The stall limit is the socket's own send time-out (PrepareConnectionSocket).
  if (stop.load()) return -1;
  return Send(s, data, size);
}

long long SendFileUnlessStopped(socket_t s, std::intptr_t file, std::int64_t offset,
                                std::int64_t count, const std::atomic<bool>& stop) {
  // One call moves at most this much (the kernel's own limit per sendfile).
  constexpr std::int64_t kMaxPerCall = 0x7ffff000;
  off_t position = offset;
  std::int64_t sent = 0;
  while (sent < count) {
    if (stop.load()) break;
    const std::int64_t left = count - sent;
    const ssize_t n = ::sendfile(s, static_cast<int>(file), &position,
                                 static_cast<std::size_t>(left < kMaxPerCall ? left : kMaxPerCall));
    if (n < 0 && errno == EINTR) continue;
    // A file system that cannot feed sendfile: reading and sending still works.
    if (n < 0 && sent == 0 && (errno == EINVAL || errno == ENOSYS)) return kFileSendUnsupported;
    // A failed send (the client gone, or the send time limit) still counts what went out.
    if (n < 0) break;
    if (n == 0) break;  // the file is shorter than it was
    sent += n;
  }
  return sent;
}

DrainEnd DrainUntilClosed(socket_t s, const std::atomic<bool>& stop,
                          std::chrono::steady_clock::time_point deadline, long long byteLimit,
                          long long* droppedBytes) {
  if (droppedBytes != nullptr) *droppedBytes = 0;
  char dropped[4096];
  long long total = 0;
  while (total < byteLimit) {
    if (stop.load()) return DrainEnd::StillOpen;
    // Most clients have closed by now: reading before waiting saves the poll.
    const ssize_t n = ::recv(s, dropped, sizeof dropped, MSG_DONTWAIT);
    // Closed (or woken by WakeConnection's shutdown at the stop, which `stop` then tells).
    if (n == 0) return stop.load() ? DrainEnd::StillOpen : DrainEnd::Closed;
    if (n > 0) {
      total += n;
      if (droppedBytes != nullptr) *droppedBytes = total;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return DrainEnd::Reset;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return DrainEnd::StillOpen;
    pollfd ready{s, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 1 << 30))) < 0 &&
        errno != EINTR) {
      return DrainEnd::Reset;
    }
  }
  return DrainEnd::StillOpen;
}

bool AcknowledgedAfterShutdown() {
#ifdef __linux__
  return true;
#else
  return false;
#endif
}

bool WaitUntilAcknowledged(socket_t s, const std::atomic<bool>& stop,
                           std::chrono::milliseconds stallLimit, bool moreFollows) {
#ifdef __linux__
  // The first look comes at once (a nearby client has usually acknowledged already). Then
  // the next look comes when the rest should be gone at the pace the client took between
  // the last two looks, and without progress the pause doubles; the longest pause bounds
  // how late a stop is noticed. A fixed doubling from a millisecond overshot a nearby
  // client by most of a 1 MiB answer's time at one request at a time: the client waits
  // for this side's close meanwhile (docs/PERFORMANCE.md).
  using std::chrono::microseconds;
  constexpr microseconds kShortestPause{50};
  constexpr microseconds kLongestPause{50000};
  auto pause = kShortestPause;
  int waiting = -1;
  auto lastLook = std::chrono::steady_clock::now();
  auto giveUp = lastLook + stallLimit;
  for (;;) {
    if (stop.load()) return false;
    // A client that closed with bytes unread resets the connection, which empties the
    // queue too: an established connection (or one whose peer has only stopped sending)
    // with nothing left in it has taken everything. After the last piece this side has
    // shut its end down first: the connection is then closing, or closed once both ends
    // have, everything acknowledged (this side's FIN among it); a reset closes it as well,
    // which the lingering close that follows tells (its receive fails with the error).
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
    const bool open = info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT;
    const bool closing = info.tcpi_state == TCP_FIN_WAIT1 || info.tcpi_state == TCP_FIN_WAIT2 ||
                         info.tcpi_state == TCP_CLOSING || info.tcpi_state == TCP_LAST_ACK ||
                         info.tcpi_state == TCP_CLOSE;
    if (!open && (moreFollows || !closing)) return false;
    int queued = 0;  // bytes not yet acknowledged, sent or not
    if (::ioctl(s, SIOCOUTQ, &queued) != 0) return false;
    if (queued == 0) return true;
    if (info.tcpi_state == TCP_CLOSE) return false;  // reset: what is left never goes
    const auto now = std::chrono::steady_clock::now();
    if (waiting >= 0 && queued < waiting) {
      const auto taken = std::chrono::duration_cast<microseconds>(now - lastLook).count();
      const auto rest =
          static_cast<long long>(queued) * std::max<long long>(taken, 1) / (waiting - queued);
      pause = std::clamp(microseconds(rest), kShortestPause, kLongestPause);
    } else if (waiting >= 0) {
      pause = std::min(pause * 2, kLongestPause);
    }
    if (waiting < 0 || queued < waiting) giveUp = now + stallLimit;  // progress
    waiting = queued;
    lastLook = now;
    if (now >= giveUp) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, giveUp - now));
  }
#else
  // Without a way to read the queue, the bytes count as delivered once they were sent.
  (void)s;
  (void)stallLimit;
  (void)moreFollows;
  return !stop.load();
#endif
}

void WakeConnection(socket_t s) { ::shutdown(s, SHUT_RDWR); }

bool InterruptSocket(socket_t s) {
  // Shutting down both directions wakes a blocked accept, recv or send; the descriptor
  // stays valid until its owner closes it.
  ::shutdown(s, SHUT_RDWR);
  return false;
}

void CloseSocket(socket_t s) {
  if (s >= 0) ::close(s);
}

std::uint16_t ListenerWakePort(socket_t) { return 0; }

}  // namespace qc::platform
