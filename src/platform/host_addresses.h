#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qc::platform {

// The local host's IPv4 addresses in dotted decimal, in the order the resolver lists them
// (gethostname, then gethostbyname). Empty optional when the name or its addresses cannot
// be had. The caller must have started the socket library where that is needed.
std::optional<std::vector<std::string>> HostIPv4Addresses();

// Tests make the host's addresses known; an empty function restores the real lookup.
using HostAddressSource = std::function<std::optional<std::vector<std::string>>()>;
void SetHostAddressSourceForTesting(HostAddressSource source);

}  // namespace qc::platform
