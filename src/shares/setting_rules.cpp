#include "shares/setting_rules.h"

#include <algorithm>
#include <utility>

namespace qc {

namespace {

// A host name's limits (RFC 1035): longer names resolve nowhere.
constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;
// "65535": a port has at most five digits.
constexpr std::size_t kMaxPortDigits = 5;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// Decimal digits without a sign or a leading zero, as a link writes a number.
std::int64_t PlainNumber(std::string_view digits, std::size_t maxDigits) {
  if (!AllDigits(digits) || digits.size() > maxDigits || (digits.size() > 1 && digits[0] == '0'))
    return -1;
  std::int64_t value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

// Letters, digits, "-" and "_" (which Windows machine names may hold and browsers take),
// and 8-bit bytes, so an international name typed as it reads works as a browser converts
// it.
bool IsLabelByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_' ||
         byte >= 0x80;
}

bool IsIPv4Address(std::string_view host) {
  int parts = 0;
  for (std::size_t start = 0; start <= host.size(); ++parts) {
    std::size_t dot = host.find('.', start);
    if (dot == std::string_view::npos) dot = host.size();
    const std::int64_t value = PlainNumber(host.substr(start, dot - start), 3);
    if (value < 0 || value > 255) return false;
    start = dot + 1;
  }
  return parts == 4;
}

bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostName) return false;
  std::string_view last;
  for (std::size_t start = 0; start <= host.size();) {
    std::size_t dot = host.find('.', start);
    if (dot == std::string_view::npos) dot = host.size();
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-' ||
        !std::all_of(label.begin(), label.end(), IsLabelByte)) {
      return false;
    }
    last = label;
    start = dot + 1;
  }
  // A name ending in a number is read as an address by browsers ("10.1" is 10.0.0.1), so
  // it must be one, written out in full.
  return !AllDigits(last) || IsIPv4Address(host);
}

}  // namespace

SettingFault CheckPort(std::int64_t port) {
  return port >= 1 && port <= 65535 ? SettingFault::None : SettingFault::Port;
}

SettingFault CheckFolder(std::string_view folder) {
  if (folder.empty()) return SettingFault::None;
  if (folder.front() != '/') return SettingFault::FolderStart;
  for (char c : folder) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '?' || c == '#' || c == '@')
      return SettingFault::FolderCharacter;
  }
  return SettingFault::None;
}

SettingFault CheckDomain(std::string_view domain) {
  if (domain.empty()) return SettingFault::None;
  const std::size_t colons =
      static_cast<std::size_t>(std::count(domain.begin(), domain.end(), ':'));
  if (domain.front() == '[' || colons > 1) return SettingFault::DomainIPv6;
  std::string_view host = domain;
  if (colons == 1) {
    const std::size_t colon = domain.find(':');
    host = domain.substr(0, colon);
    if (CheckPort(PlainNumber(domain.substr(colon + 1), kMaxPortDigits)) != SettingFault::None) {
      return SettingFault::Domain;
    }
  }
  return IsHostName(host) ? SettingFault::None : SettingFault::Domain;
}

SettingFault CheckSettings(const ServerSettings& settings) {
  for (SettingFault fault : {CheckPort(settings.port), CheckDomain(settings.domain),
                             CheckFolder(settings.defaultFolder)}) {
    if (fault != SettingFault::None) return fault;
  }
  return SettingFault::None;
}

IgnoredSettings IgnoreSettingsThatBreakLinks(ServerSettings& settings) {
  IgnoredSettings ignored;
  if (CheckDomain(settings.domain) != SettingFault::None) {
    ignored.domain = std::exchange(settings.domain, std::string());
  }
  if (CheckFolder(settings.defaultFolder) != SettingFault::None) {
    ignored.folder = std::exchange(settings.defaultFolder, std::string());
  }
  return ignored;
}

std::uint16_t DomainPort(std::string_view domain) {
  const std::size_t colon = domain.find(':');
  if (colon == std::string_view::npos || domain.find(':', colon + 1) != std::string_view::npos)
    return 0;
  const std::int64_t port = PlainNumber(domain.substr(colon + 1), kMaxPortDigits);
  return CheckPort(port) == SettingFault::None ? static_cast<std::uint16_t>(port) : 0;
}

}  // namespace qc
