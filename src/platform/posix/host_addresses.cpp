#include "platform/host_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qc::platform {

namespace {

std::optional<std::vector<std::string>> LookUpHostAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<std::string> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    // Up and with a carrier: an interface without one (an unplugged cable, a bridge with
    // nothing attached) reaches nobody, as Windows reports such adapters not operational.
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_RUNNING) == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr)
      addresses.emplace_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

std::optional<std::string> LookUpDefaultRouteAddress() {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return std::nullopt;
  sockaddr_in outside{};
  outside.sin_family = AF_INET;
  outside.sin_port = htons(kOutsidePort);
  ::inet_pton(AF_INET, kOutsideAddress, &outside.sin_addr);
  std::optional<std::string> address;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  char text[INET_ADDRSTRLEN] = {};
  // Without a route the connect fails (network unreachable).
  if (::connect(s, reinterpret_cast<const sockaddr*>(&outside), sizeof outside) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
      local.sin_family == AF_INET && local.sin_addr.s_addr != htonl(INADDR_ANY) &&
      ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr) {
    address = text;
  }
  ::close(s);
  return address;
}

}  // namespace

AddressLookup SystemAddressLookup() { return {LookUpHostAddresses, LookUpDefaultRouteAddress}; }

}  // namespace qc::platform
