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

// The virtual path as it may stand in a link: control bytes, the blank and
// " # % < > ? [ \ ] ^ ` { | } become %XX (upper-case hex); 8-bit bytes stay as they are.
std::string EscapeUrlPath(std::string_view virtualPath);

// The share's URL, its virtual path escaped (EscapeUrlPath).
std::string ComposeShareUrl(const std::string& host, std::uint16_t port, const Share& share);

// 1 when the share's URL is on the clipboard; 0 when the clipboard cannot be opened, the
// block cannot be allocated, or no host text can be had. Shows nothing itself.
int CopyShareUrl(const ServerSettings& settings, const Share& share);

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
