// The native control channel: a Unix-domain stream socket in the runtime directory,
// reachable by the user alone. Each client connection carries one request; every client
// has a connection of its own, so requests never mix. The first byte tells its kind:
//   'X' stop, 'P' panel, 'S' share (2-byte length, path): the one-way requests every
//       version understands; nothing is answered.
//   kAnsweredRequestMark: a request that carries an answer; the command reads the rest and
//       says what goes back, the channel carries the bytes.
// A termination signal (SIGTERM, SIGINT, SIGHUP) is served like a stop request.
// A client of the one-way share request that shares several files sends one share record
// after the other on its connection; the second and later ones continue its batch.
#include "platform/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>
#include <optional>

#include "platform/runtime_directory.h"

namespace qc::platform {

namespace {
constexpr char kStop = 'X';
constexpr char kShare = 'S';
constexpr char kPanel = 'P';
// A client that connects and then stalls, or stops reading its answer, must not hold the
// server's loop for long.
constexpr int kClientIoTimeoutMs = 2000;
// A request must arrive whole this long after its first byte, and an answer must be taken
// within as long: the loop serves one client at a time, so a client that trickles its
// bytes (each within the wait for the next) would otherwise hold every other request,
// "-stop" included, for as long as it liked. A local client writes a request at once.
constexpr std::chrono::milliseconds kControlRequestTimeLimit{2000};
// After a failed accept (out of descriptors, most likely) the loop waits this long before
// it tries again, as the HTTP accept loop does: the pending client keeps the listener
// readable, and retrying at once would spin. Short, so that the request is served soon
// after a descriptor is free.
constexpr std::chrono::milliseconds kControlAcceptRetryPause{50};
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

bool FillAddress(sockaddr_un& address, const std::string& path) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads up to `size` bytes; fewer when the peer went away or stalled past the time limit
// (`timedOut` then set). Returns the count read.
std::size_t ReadUpTo(int fd, char* out, std::size_t size, int timeoutMs, bool* timedOut = nullptr) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && timedOut != nullptr) *timedOut = true;
    if (ready <= 0) break;
    ssize_t n = ::recv(fd, out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool ReadFully(int fd, char* out, std::size_t size, int timeoutMs) {
  return ReadUpTo(fd, out, size, timeoutMs) == size;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

// As ReadFully, all of it by `deadline`.
bool ReadFullyBy(int fd, char* out, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::recv(fd, out + done, size - done, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Every byte, each within `timeoutMs` of the last one; with `deadline`, all of them by then.
bool WriteFully(int fd, const char* data, std::size_t size, int timeoutMs,
                std::optional<Clock::time_point> deadline = std::nullopt) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLOUT, 0};
    int ready =
        ::poll(&p, 1, deadline ? std::min(timeoutMs, MillisecondsLeft(*deadline)) : timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The write end of the running server's signal pipe; the handler only writes a byte.
volatile sig_atomic_t signalPipe = -1;
void OnTerminationSignal(int) {
  const int saved = errno;
  const int fd = signalPipe;
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

struct ControlServer::Impl {
  AnsweredRequests answered;
  int listener = -1;
  int signalRead = -1;
  int signalWrite = -1;
  struct sigaction previous[std::size(kTerminationSignals)];
  std::string path;
  bool stopPending = false;
  bool panelPending = false;
  Clock::time_point acceptPausedUntil{};
  struct ShareRequest {
    std::string path;
    bool continues;  // a later file of the same client
  };
  std::deque<ShareRequest> shares;  // in arrival order
  struct Command {
    int client;
    std::string request;  // as the command read it
  };
  std::deque<Command> commands;  // versioned requests, each with its client waiting

  static void Answer(int client, const std::string& bytes) {
    WriteFully(client, bytes.data(), bytes.size(), kClientIoTimeoutMs,
               Clock::now() + kControlRequestTimeLimit);
    ::close(client);
  }

  // Reads one client's request into the pending state. Malformed requests are dropped.
  // Returns true when the client waits for an answer (its descriptor is kept).
  bool ReadRequest(int client) {
    char kind = 0;
    if (!ReadFully(client, &kind, 1, kClientIoTimeoutMs)) return false;
    // The rest, batched share records included, by one deadline from the first byte.
    const Clock::time_point deadline = Clock::now() + kControlRequestTimeLimit;
    const auto receive = [client, deadline](void* out, std::size_t size) {
      return ReadFullyBy(client, static_cast<char*>(out), size, deadline);
    };
    if (kind == kStop) {
      stopPending = true;
    } else if (kind == kPanel) {
      panelPending = true;
    } else if (kind == kShare) {
      bool continues = false;
      do {
        unsigned char length[2];
        if (!receive(length, 2)) return false;
        std::size_t count = length[0] | (length[1] << 8);
        if (count > kMaxControlPath) return false;
        std::string path(count, '\0');
        if (!receive(path.data(), count)) return false;
        shares.push_back({std::move(path), continues});
        continues = true;
      } while (receive(&kind, 1) && kind == kShare);
    } else if (kind == kAnsweredRequestMark) {
      if (!answered.read) return false;
      RequestRead read = answered.read(receive);
      switch (read.kind) {
        case RequestRead::Kind::Drop:
          return false;
        case RequestRead::Kind::Answer:
          Answer(client, read.bytes);
          return true;
        case RequestRead::Kind::Serve:
          commands.push_back({client, std::move(read.bytes)});
          return true;
      }
    }
    return false;
  }

  // Takes every client already waiting, so that a stop is served before requests that
  // arrived with it. A failed accept pauses accepting (acceptPausedUntil).
  void DrainWaitingClients() {
    for (;;) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        // A client that gave up, or a signal, says nothing about accepting; anything else
        // (no descriptor, no memory) would fail again at once.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          acceptPausedUntil = Clock::now() + kControlAcceptRetryPause;
        }
        return;
      }
      if (!ReadRequest(client)) ::close(client);
    }
  }

  bool AcceptPaused() const { return Clock::now() < acceptPausedUntil; }

  void DrainSignals() {
    char bytes[16];
    bool any = false;
    while (::read(signalRead, bytes, sizeof bytes) > 0) any = true;
    if (any) stopPending = true;
  }

  void ServeCommand(const Command& command) {
    if (answered.serve) {
      Answer(command.client, answered.serve(command.request));
    } else {
      ::close(command.client);
    }
  }

  void RefusePendingCommands() {
    for (const Command& command : commands) {
      if (answered.refuse) {
        Answer(command.client, answered.refuse());
      } else {
        ::close(command.client);
      }
    }
    commands.clear();
  }

  void InstallSignalHandlers() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalRead = fds[0];
    signalWrite = fds[1];
    signalPipe = signalWrite;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
      ::sigaction(kTerminationSignals[i], &action, &previous[i]);
    }
  }

  void RestoreSignalHandlers() {
    if (signalWrite < 0) return;
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
      ::sigaction(kTerminationSignals[i], &previous[i], nullptr);
    }
    signalPipe = -1;
    ::close(signalRead);
    ::close(signalWrite);
    signalRead = signalWrite = -1;
  }
};

ControlServer::ControlServer(AnsweredRequests answered) : answered_(std::move(answered)) {}
ControlServer::~ControlServer() { Close(); }

ControlSetup ControlServer::Open(int* error) {
  const auto failed = [error](int code) {
    if (error != nullptr) *error = code;
    return ControlSetup::ChannelFailed;
  };
  // Already set up: the native server opens the channel itself first, so that it can say
  // in its own words why the socket cannot be had.
  if (impl_ != nullptr && impl_->listener >= 0) return ControlSetup::Ok;
  Close();
  impl_ = std::make_unique<Impl>();
  impl_->answered = answered_;
  impl_->path = ControlSocketPath();
  sockaddr_un address;
  if (!FillAddress(address, impl_->path)) {
    return failed(impl_->path.empty() ? EACCES : ENAMETOOLONG);
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  // Only the single server gets here, so a socket file left behind is a dead server's.
  ::unlink(impl_->path.c_str());
  // The socket file is created by bind with the mode the umask leaves: the user's alone
  // from its first moment (connecting needs write permission on it).
  const mode_t previousMask = ::umask(0177);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::umask(previousMask);
  if (!bound || ::chmod(impl_->path.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
    const int code = errno;
    ::close(fd);
    if (bound) ::unlink(impl_->path.c_str());
    return failed(code);
  }
  impl_->listener = fd;
  impl_->InstallSignalHandlers();
  return ControlSetup::Ok;
}

ControlEvent ControlServer::Wait(bool) {
  if (impl_ == nullptr || impl_->listener < 0) return ControlEvent::Failed;
  for (;;) {
    if (!impl_->AcceptPaused()) impl_->DrainWaitingClients();
    if (impl_->signalRead >= 0) impl_->DrainSignals();
    if (impl_->stopPending) {
      impl_->stopPending = false;
      return ControlEvent::Stop;
    }
    if (!impl_->shares.empty()) return ControlEvent::Share;
    if (!impl_->commands.empty()) {
      Impl::Command command = std::move(impl_->commands.front());
      impl_->commands.pop_front();
      impl_->ServeCommand(command);
      continue;
    }
    if (impl_->panelPending) {
      impl_->panelPending = false;
      return ControlEvent::Panel;
    }
    // While accepting pauses, only the signals are waited for, until the pause ends (a
    // negative descriptor is skipped by poll).
    const bool paused = impl_->AcceptPaused();
    pollfd p[2] = {{paused ? -1 : impl_->listener, POLLIN, 0}, {impl_->signalRead, POLLIN, 0}};
    int ready = ::poll(p, 2, paused ? std::max(1, MillisecondsLeft(impl_->acceptPausedUntil)) : -1);
    if (ready < 0 && errno != EINTR) return ControlEvent::Failed;
  }
}

std::string ControlServer::TakeSharePath(bool* continuesBatch) {
  if (continuesBatch != nullptr) *continuesBatch = false;
  if (impl_ == nullptr || impl_->shares.empty()) return std::string();
  Impl::ShareRequest request = std::move(impl_->shares.front());
  impl_->shares.pop_front();
  if (continuesBatch != nullptr) *continuesBatch = request.continues;
  return std::move(request.path);
}

void ControlServer::DropShareRequest() {
  if (impl_ != nullptr && !impl_->shares.empty()) impl_->shares.pop_front();
}

void ControlServer::Close() {
  if (impl_ == nullptr) return;
  impl_->RefusePendingCommands();
  impl_->RestoreSignalHandlers();
  if (impl_->listener >= 0) {
    ::close(impl_->listener);
    ::unlink(impl_->path.c_str());
  }
  impl_.reset();
}

namespace {
int ConnectToServer() {
  sockaddr_un address;
  if (!FillAddress(address, ControlSocketPath())) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

ControlSend Deliver(const std::string& message) {
  int fd = ConnectToServer();
  if (fd < 0) return ControlSend::NotRunning;
  bool written = WriteFully(fd, message.data(), message.size(), kClientIoTimeoutMs);
  ::close(fd);
  return written ? ControlSend::Delivered : ControlSend::NotRunning;
}

}  // namespace

struct ControlConnection::Impl {
  int fd = -1;
};

ControlConnection::ControlConnection() : impl_(std::make_unique<Impl>()) {}

ControlConnection::~ControlConnection() {
  if (impl_->fd >= 0) ::close(impl_->fd);
}

bool ControlConnection::Open() {
  if (impl_->fd < 0) impl_->fd = ConnectToServer();
  return impl_->fd >= 0;
}

bool ControlConnection::Write(std::string_view bytes, int timeoutMs) {
  return impl_->fd >= 0 && WriteFully(impl_->fd, bytes.data(), bytes.size(), timeoutMs);
}

std::size_t ControlConnection::Read(char* out, std::size_t size, int timeoutMs, bool* timedOut) {
  return impl_->fd >= 0 ? ReadUpTo(impl_->fd, out, size, timeoutMs, timedOut) : 0;
}

bool ControlServerReachable() {
  int fd = ConnectToServer();
  // The server reads an empty request and drops it.
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

ControlSend SendControlRequest(ControlRequest request) {
  return Deliver(std::string(1, request == ControlRequest::Stop ? kStop : kPanel));
}

ControlSend SendControlShares(const std::vector<std::string>& paths) {
  std::string message;
  for (const std::string& path : paths) {
    if (path.size() > kMaxControlPath) return ControlSend::PathTooLong;
    message += kShare;
    message += static_cast<char>(path.size() & 0xFF);
    message += static_cast<char>((path.size() >> 8) & 0xFF);
    message += path;
  }
  return Deliver(message);
}

}  // namespace qc::platform
