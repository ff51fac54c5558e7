// The native control channel: a Unix-domain stream socket in the runtime directory. Each
// client connection carries one request: a kind byte ('X' stop, 'S' share, 'P' panel)
// and, for a share, the block's 2-byte little-endian length and the path bytes. Every
// client has a connection of its own, so requests never mix in one block. A client that
// shares several files sends one share record after the other on its connection; the
// second and later ones continue its batch.
#include "platform/control_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace qc::platform {

namespace {
constexpr char kStop = 'X';
constexpr char kShare = 'S';
constexpr char kPanel = 'P';
// A client that connects and then stalls must not hold the server's loop for long.
constexpr int kClientReadTimeoutMs = 2000;

std::string SocketPath() { return RuntimeDirectory() + "/quillcast-control.sock"; }

bool FillAddress(sockaddr_un& address, const std::string& path) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads exactly `size` bytes or fails (peer gone, stalled past the time limit).
bool ReadFully(int fd, char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, kClientReadTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = ::recv(fd, out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

std::string RuntimeDirectory() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] != '\0') return xdg;
  std::string dir = "/tmp/quillcast-" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);
  return dir;
}

struct ControlServer::Impl {
  int listener = -1;
  std::string path;
  bool stopPending = false;
  bool panelPending = false;
  std::deque<std::string> shares;  // each request's path, in arrival order
  std::deque<bool> sharesContinue;  // beside each path: a later file of the same client

  // Reads one client's request into the pending state. Malformed requests are dropped.
  void ReadRequest(int client) {
    char kind = 0;
    if (!ReadFully(client, &kind, 1)) return;
    if (kind == kStop) {
      stopPending = true;
    } else if (kind == kPanel) {
      panelPending = true;
    } else if (kind == kShare) {
      bool continues = false;
      do {
        unsigned char length[2];
        if (!ReadFully(client, reinterpret_cast<char*>(length), 2)) return;
        std::size_t count = length[0] | (length[1] << 8);
        if (count > kMaxControlPath) return;
        std::string path(count, '\0');
        if (count > 0 && !ReadFully(client, path.data(), count)) return;
        shares.push_back(std::move(path));
        sharesContinue.push_back(continues);
        continues = true;
      } while (ReadFully(client, &kind, 1) && kind == kShare);
    }
  }

  // Takes every client already waiting, so that a stop is served before requests that
  // arrived with it.
  void DrainWaitingClients() {
    for (;;) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      ReadRequest(client);
      ::close(client);
    }
  }
};

ControlServer::~ControlServer() { Close(); }

ControlSetup ControlServer::Open() {
  Close();
  impl_ = new Impl;
  impl_->path = SocketPath();
  sockaddr_un address;
  if (!FillAddress(address, impl_->path)) return ControlSetup::EventFailed;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ControlSetup::EventFailed;
  // Only the single server gets here, so a socket file left behind is a dead server's.
  ::unlink(impl_->path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return ControlSetup::EventFailed;
  }
  impl_->listener = fd;
  return ControlSetup::Ok;
}

std::uint32_t ControlServer::Wait() {
  if (impl_ == nullptr || impl_->listener < 0) return kWaitFailed;
  for (;;) {
    impl_->DrainWaitingClients();
    if (impl_->stopPending) {
      impl_->stopPending = false;
      return kWaitExit;
    }
    if (!impl_->shares.empty()) return kWaitShare;
    if (impl_->panelPending) {
      impl_->panelPending = false;
      return kWaitPanel;
    }
    pollfd p{impl_->listener, POLLIN, 0};
    int ready = ::poll(&p, 1, -1);
    if (ready < 0 && errno != EINTR) return kWaitFailed;
  }
}

std::string ControlServer::TakeSharePath(bool* continuesBatch) {
  if (continuesBatch != nullptr) *continuesBatch = false;
  if (impl_ == nullptr || impl_->shares.empty()) return std::string();
  std::string path = std::move(impl_->shares.front());
  impl_->shares.pop_front();
  if (continuesBatch != nullptr) *continuesBatch = impl_->sharesContinue.front();
  impl_->sharesContinue.pop_front();
  return path;
}

void ControlServer::DropShareRequest() {
  if (impl_ != nullptr && !impl_->shares.empty()) {
    impl_->shares.pop_front();
    impl_->sharesContinue.pop_front();
  }
}

void ControlServer::Close() {
  if (impl_ == nullptr) return;
  if (impl_->listener >= 0) {
    ::close(impl_->listener);
    ::unlink(impl_->path.c_str());
  }
  delete impl_;
  impl_ = nullptr;
}

namespace {
ControlSend Deliver(const std::string& message) {
  sockaddr_un address;
  if (!FillAddress(address, SocketPath())) return ControlSend::NotRunning;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ControlSend::NotRunning;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return ControlSend::NotRunning;
  }
  bool written = WriteFully(fd, message.data(), message.size());
  ::close(fd);
  return written ? ControlSend::Delivered : ControlSend::NotRunning;
}
}  // namespace

bool ControlServerReachable() {
  sockaddr_un address;
  if (!FillAddress(address, SocketPath())) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // The server reads an empty request and drops it.
  bool reachable = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return reachable;
}

ControlSend SendControlRequest(ControlRequest request) {
  return Deliver(std::string(1, request == ControlRequest::Stop ? kStop : kPanel));
}

ControlSend SendControlShare(const std::string& path) {
  return SendControlShares(std::vector<std::string>{path});
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
