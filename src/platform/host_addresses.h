#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qc::platform {

// This machine's IPv4 addresses as links may carry them, in dotted decimal, in the one
// order the control panel lists them and hostChoice counts them: the addresses of the
// interfaces that are up; the default route's source address first (the one the others
// on the network most likely reach), the rest in the system's order; loopback and
// link-local (169.254/16) addresses only when there is nothing else. Empty optional when
// the interfaces cannot be listed.
std::optional<std::vector<std::string>> HostIPv4Addresses();

// The address this machine sends from to reach outside its own networks (the default
// route's source), found without sending a packet. Empty optional without a default
// route.
std::optional<std::string> DefaultRouteAddress();

// Tests make the interfaces' addresses known, in the system's order; an empty function
// restores the real query. While addresses are made up, the machine has no default route
// unless a test makes one known too, so that nothing of the real machine leaks in.
using HostAddressSource = std::function<std::optional<std::vector<std::string>>()>;
void SetHostAddressSourceForTesting(HostAddressSource source);
using RouteAddressSource = std::function<std::optional<std::string>()>;
void SetDefaultRouteSourceForTesting(RouteAddressSource source);

}  // namespace qc::platform
