#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qc::platform {

// Where the machine's addresses come from: the system's queries (SystemAddressLookup), or
// a test's made-up machine. Without `defaultRoute` the machine has no default route, so a
// made-up list never mixes with the real machine's route.
struct AddressLookup {
  // The IPv4 addresses of the interfaces that are up, in the system's order; empty
  // optional when they cannot be listed.
  std::function<std::optional<std::vector<std::string>>()> interfaces;
  // The source address of a datagram socket connected to kOutsideAddress; empty optional
  // without a default route.
  std::function<std::optional<std::string>()> defaultRoute;
};

// The system's two queries, made once by the entry and handed to whoever makes links.
AddressLookup SystemAddressLookup();

// Where the default route query aims. Connecting a datagram socket only picks a route
// and a source address; nothing is sent. A documentation address (TEST-NET-3) lies in no
// local network, so only the default route leads there, and nobody's server is named.
inline constexpr char kOutsideAddress[] = "203.0.113.1";
inline constexpr unsigned short kOutsidePort = 9;  // discard; any port would do

// This machine's IPv4 addresses as links may carry them, in dotted decimal, in the one
// order the control panel lists them and hostChoice counts them: the addresses of the
// interfaces that are up; the default route's source address first (the one the others
// on the network most likely reach), the rest in the system's order; loopback and
// link-local (169.254/16) addresses only when there is nothing else. Empty optional when
// the interfaces cannot be listed.
std::optional<std::vector<std::string>> HostIPv4Addresses(const AddressLookup& lookup);

// The address this machine sends from to reach outside its own networks (the default
// route's source), found without sending a packet. Empty optional without a default
// route.
std::optional<std::string> DefaultRouteAddress(const AddressLookup& lookup);

}  // namespace qc::platform
