// The one list of this machine's addresses, made the same way on both systems from what
// the backend reports: the interfaces' addresses and the default route's source.
#include "platform/host_addresses.h"

#include <algorithm>
#include <cstdint>

namespace qc::platform {

namespace {

// What an address can do for a link's recipient, best first.
enum class Reach { Network, LinkLocal, Loopback };

// Dotted decimal as the backends write it; anything else counts as a network address,
// so that nothing a backend reports is lost.
Reach ReachOf(const std::string& address) {
  unsigned first = 0;
  unsigned second = 0;
  std::size_t i = 0;
  for (; i < address.size() && address[i] != '.'; ++i) first = first * 10 + (address[i] - '0');
  for (++i; i < address.size() && address[i] != '.'; ++i) second = second * 10 + (address[i] - '0');
  if (first == 127) return Reach::Loopback;
  if (first == 169 && second == 254) return Reach::LinkLocal;
  return Reach::Network;
}

}  // namespace

std::optional<std::string> DefaultRouteAddress(const AddressLookup& lookup) {
  return lookup.defaultRoute ? lookup.defaultRoute() : std::nullopt;
}

std::optional<std::vector<std::string>> HostIPv4Addresses(const AddressLookup& lookup) {
  std::optional<std::vector<std::string>> found =
      lookup.interfaces ? lookup.interfaces() : std::nullopt;
  if (!found) return std::nullopt;
  // An address on two interfaces is one choice.
  std::vector<std::string> unique;
  for (const std::string& address : *found) {
    if (std::find(unique.begin(), unique.end(), address) == unique.end()) unique.push_back(address);
  }
  // Loopback and link-local addresses reach nobody else, or only the neighbours on one
  // cable: they are listed only when nothing better exists, link-local ones before
  // loopback.
  std::vector<std::string> addresses;
  for (Reach reach : {Reach::Network, Reach::LinkLocal, Reach::Loopback}) {
    for (const std::string& address : unique) {
      if (ReachOf(address) == reach) addresses.push_back(address);
    }
    if (!addresses.empty()) break;
  }
  // The default route's interface is the one the rest of the network sees this machine
  // by; virtual adapters (VPNs, hypervisors' switches) often come first in the system's
  // order.
  if (const std::optional<std::string> route = DefaultRouteAddress(lookup)) {
    const auto at = std::find(addresses.begin(), addresses.end(), *route);
    if (at != addresses.end()) std::rotate(addresses.begin(), at, at + 1);
  }
  return addresses;
}

}  // namespace qc::platform
