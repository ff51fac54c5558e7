#include "platform/host_addresses.h"

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

#include <iphlpapi.h>

namespace qc::platform {

namespace {

// Room for the adapter list at the first try (Microsoft suggests 15 KB); a bigger list
// says how much it needs, and may grow once more before the second try.
constexpr ULONG kAdapterListSize = 16 * 1024;
constexpr int kAdapterListTries = 3;

std::optional<std::string> Dotted(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return std::nullopt;
  return std::string(text);
}

std::optional<std::vector<std::string>> LookUpHostAddresses() {
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                           GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
  ULONG size = kAdapterListSize;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < kAdapterListTries && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.assign(size, 0);
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result == ERROR_NO_DATA) return std::vector<std::string>{};
  if (result != NO_ERROR) return std::nullopt;
  std::vector<std::string> addresses;
  for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      if (std::optional<std::string> text =
              Dotted(reinterpret_cast<const sockaddr_in*>(address)->sin_addr)) {
        addresses.push_back(std::move(*text));
      }
    }
  }
  return addresses;
}

std::optional<std::string> LookUpDefaultRouteAddress() {
  // Counted by Winsock: the server's own start stays in force.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return std::nullopt;
  std::optional<std::string> found;
  // Closed before the cleanup below, at the end of this block.
  if (const UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)); s) {
    sockaddr_in outside{};
    outside.sin_family = AF_INET;
    outside.sin_port = htons(kOutsidePort);
    inet_pton(AF_INET, kOutsideAddress, &outside.sin_addr);
    sockaddr_in local{};
    int size = sizeof local;
    // Without a route the connect fails (network unreachable).
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&outside), sizeof outside) == 0 &&
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
        local.sin_family == AF_INET && local.sin_addr.s_addr != htonl(INADDR_ANY)) {
      found = Dotted(local.sin_addr);
    }
  }
  WSACleanup();
  return found;
}

}  // namespace

AddressLookup SystemAddressLookup() { return {LookUpHostAddresses, LookUpDefaultRouteAddress}; }

}  // namespace qc::platform
