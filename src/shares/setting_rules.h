// What the settings must be for the links made from them to work: one set of rules for
// every place settings are entered (the native -config, the control panel's save) and for
// the start, which refuses a stored port it cannot serve. Each place words the fault in
// its own texts.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shares/settings_file.h"

namespace qc {

enum class SettingFault {
  None,
  // Not 1-65535. Port 0 would have the system pick a port at random while every link
  // names port 0.
  Port,
  // The folder is neither empty nor starts with "/": the link's host part would run on
  // into it ("http://HOST:PORTabc/f.bin").
  FolderStart,
  // The folder holds a blank, a control byte, "?", "#" or "@": characters that end or
  // change a link where it is pasted or read.
  FolderCharacter,
  // The domain is not a host name or an IPv4 address, optionally followed by ":" and a
  // port from 1 to 65535.
  Domain,
  // The domain is an IPv6 address: the server listens on IPv4 only, so no link with one
  // can reach it.
  DomainIPv6,
};

SettingFault CheckPort(std::int64_t port);
SettingFault CheckFolder(std::string_view folder);
// An empty domain is allowed: the links then take an address of this machine.
SettingFault CheckDomain(std::string_view domain);
// The first fault of the settings as a whole (port, domain, folder), or None.
SettingFault CheckSettings(const ServerSettings& settings);

// What the start left out of the stored settings because it would break every link: the
// values as stored, for telling the user once.
struct IgnoredSettings {
  std::optional<std::string> domain;
  std::optional<std::string> folder;
  bool Any() const { return domain || folder; }
};
// The start's rule for settings written by hand or by another tool: a domain or a default
// folder that the rules above refuse is set back to its default (none) in `settings`, for
// this run only; the file is not touched. The port has a rule of its own at start (a port
// the rules refuse cannot be served at all).
IgnoredSettings IgnoreSettingsThatBreakLinks(ServerSettings& settings);

// The port a domain names after its ":", or 0 when it names none.
std::uint16_t DomainPort(std::string_view domain);

}  // namespace qc
