// Share URLs ("http://" host [":" port] virtual path) and putting them on the clipboard.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shares/settings.h"
#include "shares/share_registry.h"

namespace qc {

// The host text: the domain when hostChoice is 0 and a domain is set, otherwise the first
// IPv4 address of the local host. Empty optional when no host text can be had.
std::optional<std::string> UrlHost(const ServerSettings& settings);

// The virtual path as it stands in a link that survives pasting into a chat or a mail:
// ASCII controls, the blank and " # % < > ? [ \ ] ^ ` { | } become %XX (upper-case hex);
// every other byte, 8-bit ones included, stands as it is, so a browser sends a non-ASCII
// name as UTF-8, which the request parser converts back.
std::string EscapeUrlPath(std::string_view virtualPath);

// "http://" host [":" port] and the escaped virtual path.
std::string ComposeShareUrl(const std::string& host, std::uint16_t port, const Share& share);

// 1 when the share's URL is on the clipboard; 0 when the clipboard cannot be opened, the
// block cannot be allocated, or no host text can be had. Shows nothing itself.
int CopyShareUrl(const ServerSettings& settings, const Share& share);
// The URLs of several command-line shares at once, joined by "\r\n" as the panel's copy
// joins them. The same results as CopyShareUrl.
int CopyShareUrls(const ServerSettings& settings, const std::vector<SharePtr>& shares);

// The control panel's "Copy to clipboard": the URLs of the shares at the selected rows
// (ascending row numbers), joined by "\r\n". Reports to the user itself.
void CopySelectedUrls(const ServerSettings& settings, ShareRegistry& shares,
                      const std::vector<int>& selectedRows);

// Adds the host's IPv4 addresses to `addEntry` in lookup order, then calls `selectFirst`
// when at least one was added. Returns the number added (0 when sockets cannot start or
// the host's addresses cannot be had).
int FillHostList(const std::function<void(const std::string&)>& addEntry,
                 const std::function<void()>& selectFirst);

}  // namespace qc
