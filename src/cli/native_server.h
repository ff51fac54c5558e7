// The native server role: the server that the command starts and its answers to the
// commands, the request log line, and the texts its answers share with the commands that
// work on the files without a server.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "cli/control_protocol.h"
#include "platform/services.h"

namespace qc::cli {

// The server role: runs until stopped; 0 after a normal stop, 1 when it could not start.
int RunNativeServer(bool quiet, const platform::Services& services);

// Answers one versioned control request on the server's main thread. `listeningPort` is
// the port the server is bound to (a changed port waits for the next start).
ControlReply HandleCommand(Application& app, std::uint16_t listeningPort, CommandType type,
                           const std::vector<std::string>& fields);

// The fields of one share in the answer to a list request: URL, physical path, flags, the
// completed downloads, the last one's Unix time and IPv4 address, the download limit and
// the end time.
inline constexpr std::size_t kListFieldsPerShare = 8;

// A share's URL; without a host text the path alone, still worth showing.
std::string ShareUrlOrPath(const std::optional<std::string>& host, std::uint16_t port,
                           const Share& share);

// Takes every share out of `shares` that one of `names` names (ShareMatches); returns the
// URLs of those taken out, in list order.
std::vector<std::string> RemoveMatchingShares(ShareRegistry& shares,
                                              const std::optional<std::string>& host,
                                              std::uint16_t port,
                                              const std::vector<std::string>& names);

// What -config without changes adds to the settings: this machine's addresses (through
// `lookup`) as host=N counts them, and the host links carry now and why.
std::string FormatHostReport(const ServerSettings& settings, const platform::AddressLookup& lookup);

// The request log line for one answered request (without the line feed).
std::string FormatRequestLogLine(const std::string& time, const std::string& client,
                                 const Connection& connection);

}  // namespace qc::cli
