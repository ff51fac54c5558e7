#include "shares/share_url.h"

#include <string_view>

#include "platform/host_addresses.h"
#include "platform/socket.h"
#include "shares/setting_rules.h"

namespace qc {

namespace {

constexpr std::string_view kScheme = "http://";

// Bytes that end or break a link where it is pasted, or that mean something else in a
// URL; everything else stands as it is.
bool NeedsEscape(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case ' ':
    case '"':
    case '#':
    case '%':
    case '<':
    case '>':
    case '?':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

}  // namespace

LinkHost ChooseUrlHost(const ServerSettings& settings, const platform::AddressLookup& lookup) {
  if (!settings.domain.empty() && settings.hostChoice == 0) {
    return {settings.domain, HostSource::Domain};
  }
  const std::vector<std::string> addresses =
      platform::HostIPv4Addresses(lookup).value_or(std::vector<std::string>{});
  if (settings.hostChoice > 0 && settings.hostChoice <= addresses.size()) {
    return {addresses[settings.hostChoice - 1], HostSource::ChosenAddress};
  }
  // A choice the list no longer has (an adapter went away) falls back like no choice.
  if (std::optional<std::string> route = platform::DefaultRouteAddress(lookup)) {
    return {std::move(*route), HostSource::DefaultRoute};
  }
  if (!addresses.empty()) return {addresses.front(), HostSource::FirstAddress};
  // Still a link that works here, rather than none at all.
  return {kLoopbackHost, HostSource::Loopback};
}

std::string UrlHost(const ServerSettings& settings, const platform::AddressLookup& addresses) {
  return ChooseUrlHost(settings, addresses).text;
}

std::string EscapeUrlPath(std::string_view virtualPath) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(virtualPath.size());
  for (char ch : virtualPath) {
    const auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      escaped.push_back('%');
      escaped.push_back(kHex[c >> 4]);
      escaped.push_back(kHex[c & 0x0F]);
    } else {
      escaped.push_back(ch);
    }
  }
  return escaped;
}

std::string ComposeShareUrl(const std::string& host, std::uint16_t port, const Share& share) {
  const std::string path = EscapeUrlPath(share.virtualPath);
  std::string url;
  url.reserve(kScheme.size() + host.size() + 6 + path.size());
  url.append(kScheme);
  url.append(host);
  // A domain with a port of its own (a router forwarding that port to this one) is
  // reached there; a second port after it would break the link.
  if (port != kDefaultPort && DomainPort(host) == 0) {
    url.push_back(':');
    url.append(std::to_string(port));
  }
  url.append(path);
  return url;
}

UrlCopy CopyShareUrl(const platform::ClipboardOps& clipboard,
                     const platform::AddressLookup& addresses, const ServerSettings& settings,
                     const Share& share) {
  ClipboardSession session(clipboard);
  if (!session.IsOpen()) return UrlCopy::ClipboardUnavailable;
  const std::string host = UrlHost(settings, addresses);
  const std::string digits = std::to_string(settings.port);
  const std::size_t size =
      host.size() + digits.size() + EscapeUrlPath(share.virtualPath).size() + kUrlOverhead;
  // The URL, its terminator and spare zero bytes when the port is 80.
  return session.Replace(ComposeShareUrl(host, settings.port, share), size);
}

UrlCopy CopyShareUrls(const platform::ClipboardOps& clipboard,
                      const platform::AddressLookup& addresses, const ServerSettings& settings,
                      const std::vector<SharePtr>& shares) {
  ClipboardSession session(clipboard);
  if (!session.IsOpen()) return UrlCopy::ClipboardUnavailable;
  const std::string host = UrlHost(settings, addresses);
  std::string text;
  for (const SharePtr& share : shares) {
    if (!text.empty()) text.append(kUrlSeparator);
    text.append(ComposeShareUrl(host, settings.port, *share));
  }
  // The text and its terminator.
  return session.Replace(text, text.size() + 1);
}

int FillHostList(const platform::AddressLookup& lookup,
                 const std::function<void(const std::string&)>& addEntry,
                 const std::function<void()>& selectFirst) {
  if (!platform::SocketLibraryStart()) return 0;
  int added = 0;
  if (std::optional<std::vector<std::string>> addresses = platform::HostIPv4Addresses(lookup)) {
    for (const std::string& address : *addresses) {
      addEntry(address);
      ++added;
    }
  }
  if (added > 0) selectFirst();
  platform::SocketLibraryStop();
  return added;
}

}  // namespace qc
