// The loopback clients' socket calls, which both systems spell alike (Winsock keeps the
// BSD names); only the headers and the address length's type differ.
#ifdef _WIN32
#include "platform/os_windows.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include "unit/platform_support.h"

namespace qc::tests {

namespace {

#ifdef _WIN32
using AddressLength = int;
#else
using AddressLength = socklen_t;
#endif

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

}  // namespace

platform::socket_t ConnectLoopback(std::uint16_t port, std::uint32_t source) {
  const platform::socket_t s = platform::CreateTcpSocket();
  if (s == platform::kInvalidSocket) return s;
  const sockaddr_in sa = Loopback(port);
  if ((source != 0 && !platform::BindIPv4(s, source, 0)) ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    platform::CloseSocket(s);
    return platform::kInvalidSocket;
  }
  return s;
}

std::uint16_t LocalPort(platform::socket_t s) {
  sockaddr_in sa{};
  AddressLength length = sizeof sa;
  return ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) == 0 ? ntohs(sa.sin_port) : 0;
}

namespace {
// Below every system's ephemeral range (Linux 32768-60999, Windows 49152-65535): a port the
// system picked is free when asked, yet a client's connection made before the server
// starts may take it again. QC_PORTS ("FIRST-LAST") narrows it: test runs side by side
// take disjoint parts, so that one's check that a port is free is not undone by the
// other's server.
struct PortRange {
  unsigned first = 20000;
  unsigned last = 32767;
};

PortRange TestPortRange() {
  PortRange range;
  const char* text = std::getenv("QC_PORTS");
  unsigned first = 0, last = 0;
  char end = '\0';
  if (text != nullptr && std::sscanf(text, "%u-%u%c", &first, &last, &end) == 2 &&
      range.first <= first && first <= last && last <= range.last) {
    range = {first, last};
  }
  return range;
}
}  // namespace

std::uint16_t FreePort() {
  static const PortRange range = TestPortRange();
  static std::mutex guard;
  static std::set<std::uint16_t> handedOut;
  static std::mt19937 draw{std::random_device{}()};
  const std::lock_guard<std::mutex> hold(guard);
  platform::SocketLibraryStart();
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 1000 && port == 0; ++attempt) {
    const auto candidate =
        static_cast<std::uint16_t>(range.first + draw() % (range.last - range.first + 1));
    if (handedOut.count(candidate) != 0) continue;
    platform::socket_t probe = platform::CreateTcpSocket();
    if (platform::BindAnyAddress(probe, candidate)) port = candidate;
    platform::CloseSocket(probe);
  }
  platform::SocketLibraryStop();
  if (port != 0) handedOut.insert(port);
  return port;
}

HeldPort::HeldPort() {
  platform::SocketLibraryStart();
  socket_ = platform::CreateTcpSocket();
  if (platform::BindAnyAddress(socket_, 0) && platform::Listen(socket_, 1)) {
    port_ = LocalPort(socket_);
  }
}

HeldPort::~HeldPort() {
  platform::CloseSocket(socket_);
  platform::SocketLibraryStop();
}

bool SendLoopbackDatagram(std::uint16_t port, const std::string& bytes) {
  const platform::socket_t s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == platform::kInvalidSocket) return false;
  const sockaddr_in sa = Loopback(port);
  const auto sent = ::sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  platform::CloseSocket(s);
  return sent >= 0 && static_cast<std::size_t>(sent) == bytes.size();
}

}  // namespace qc::tests
