// Share URLs ("http://" host [":" port] virtual path) and putting them on the clipboard.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clipboard.h"
#include "platform/host_addresses.h"
#include "shares/settings_file.h"
#include "shares/share_registry.h"

namespace qc {

// Where a link's host comes from, in the order the rule tries them.
enum class HostSource {
  Domain,         // hostChoice 0 and a domain is set: the domain, verbatim
  ChosenAddress,  // hostChoice n and the address list has an n-th entry
  DefaultRoute,   // the address the machine reaches outside from
  FirstAddress,   // no default route: the list's first address
  Loopback,       // no address at all: a link that works on this machine only
};

struct LinkHost {
  std::string text;
  HostSource source;
};

// The host every link carries, wherever it is shown (panel, clipboard, printed links,
// the server's start line). The address list is platform::HostIPv4Addresses of
// `lookup`, the one the panel shows, so hostChoice n is the n-th entry the user picked.
LinkHost ChooseUrlHost(const ServerSettings& settings, const platform::AddressLookup& lookup);
std::string UrlHost(const ServerSettings& settings, const platform::AddressLookup& addresses);

inline constexpr char kLoopbackHost[] = "127.0.0.1";

// The virtual path as it stands in a link that survives pasting into a chat or a mail:
// ASCII controls, the blank and " # % < > ? [ \ ] ^ ` { | } become %XX (upper-case hex);
// every other byte, 8-bit ones included, stands as it is, so a browser sends a non-ASCII
// name as UTF-8, which the request parser converts back.
std::string EscapeUrlPath(std::string_view virtualPath);

// "http://" host [":" port] and the escaped virtual path; no port is added to a host that
// names its own.
std::string ComposeShareUrl(const std::string& host, std::uint16_t port, const Share& share);

// What a copy to the clipboard came to. Shows nothing itself: the caller tells the user.
enum class UrlCopy {
  Copied,
  ClipboardUnavailable,  // the clipboard cannot be opened
  NothingSelected,       // the panel's copy without a selected row
  Desync,                // a selected row of the panel has no share behind it
  NotSet,                // the clipboard refused the text (no block could be allocated)
};

// The share's URL onto `clipboard`, its host found through `addresses`.
UrlCopy CopyShareUrl(const platform::ClipboardOps& clipboard,
                     const platform::AddressLookup& addresses, const ServerSettings& settings,
                     const Share& share);
// The URLs of several command-line shares at once, joined by "\r\n" as the panel's copy
// joins them.
UrlCopy CopyShareUrls(const platform::ClipboardOps& clipboard,
                      const platform::AddressLookup& addresses, const ServerSettings& settings,
                      const std::vector<SharePtr>& shares);

// URL separator and the room reserved per URL beside its texts: the scheme (7), ":" (1)
// and the terminator (1).
inline constexpr std::string_view kUrlSeparator = "\r\n";
inline constexpr std::size_t kUrlOverhead = 9;

// Holds the clipboard open for one copy and closes it when the copy leaves, on every path.
class ClipboardSession {
 public:
  explicit ClipboardSession(const platform::ClipboardOps& ops)
      : ops_(ops), open_(ops.open && ops.open()) {}
  ~ClipboardSession() {
    if (open_ && ops_.close) ops_.close();
  }
  ClipboardSession(const ClipboardSession&) = delete;
  ClipboardSession& operator=(const ClipboardSession&) = delete;

  bool IsOpen() const { return open_; }
  // Empties the clipboard and hands it a block of `size` bytes: `text`, then zero bytes.
  UrlCopy Replace(std::string text, std::size_t size) {
    text.resize(size, '\0');
    if (ops_.empty) ops_.empty();
    return ops_.setText && ops_.setText(text.data(), size) ? UrlCopy::Copied : UrlCopy::NotSet;
  }

 private:
  const platform::ClipboardOps& ops_;
  bool open_;
};

// Adds the host's IPv4 addresses (through `lookup`) to `addEntry` in the order
// hostChoice counts them (the list links take their address from), then calls
// `selectFirst` when at least one was added. Returns the number added (0 when sockets
// cannot start or the host's addresses cannot be had).
int FillHostList(const platform::AddressLookup& lookup,
                 const std::function<void(const std::string&)>& addEntry,
                 const std::function<void()>& selectFirst);

}  // namespace qc
