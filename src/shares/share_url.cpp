#include "shares/share_url.h"

#include <string_view>

#include "platform/clipboard.h"
#include "platform/host_addresses.h"
#include "platform/socket.h"
#include "shares/messages.h"

namespace qc {

namespace {

constexpr std::uint16_t kHttpDefaultPort = 80;
constexpr std::string_view kScheme = "http://";
constexpr std::string_view kUrlSeparator = "\r\n";
// Room reserved per URL beside its texts: the scheme (7), ":" (1) and the terminator (1).
constexpr std::size_t kUrlOverhead = 9;

// Bytes that end or break a link where it is pasted, or that mean something else in a
// URL; everything else stands as it is.
bool NeedsEscape(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case ' ': case '"': case '#': case '%': case '<': case '>': case '?':
    case '[': case '\\': case ']': case '^': case '`': case '{': case '|': case '}':
      return true;
    default:
      return false;
  }
}

std::optional<std::string> FirstHostAddress() {
  std::optional<std::vector<std::string>> addresses = platform::HostIPv4Addresses();
  if (!addresses || addresses->empty()) return std::nullopt;
  return addresses->front();
}

// Closes the clipboard when the copy leaves, on every path.
class ClipboardSession {
 public:
  explicit ClipboardSession(const platform::ClipboardOps& ops) : ops_(ops) {
    open_ = ops_.open && ops_.open();
  }
  ~ClipboardSession() {
    if (open_ && ops_.close) ops_.close();
  }
  ClipboardSession(const ClipboardSession&) = delete;
  ClipboardSession& operator=(const ClipboardSession&) = delete;

  bool IsOpen() const { return open_; }
  // Closes before a message is shown, so the clipboard is not held while the user reads.
  void Close() {
    if (open_ && ops_.close) ops_.close();
    open_ = false;
  }
  // Empties the clipboard and hands it `size` bytes from `data`.
  bool Replace(const char* data, std::size_t size) {
    if (ops_.empty) ops_.empty();
    return ops_.setText && ops_.setText(data, size);
  }

 private:
  const platform::ClipboardOps& ops_;
  bool open_ = false;
};

}  // namespace

std::optional<std::string> UrlHost(const ServerSettings& settings) {
  if (settings.domainLength != 0 && !settings.domain.empty() && settings.hostChoice == 0) {
    return settings.domain;
  }
  // The stored hostChoice only restores the panel's selection; URLs take the first address.
  return FirstHostAddress();
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
  if (port != kHttpDefaultPort) {
    url.push_back(':');
    url.append(std::to_string(port));
  }
  url.append(path);
  return url;
}

int CopyShareUrl(const ServerSettings& settings, const Share& share) {
  ClipboardSession clipboard(platform::Clipboard());
  if (!clipboard.IsOpen()) return 0;
  const std::optional<std::string> host = UrlHost(settings);
  if (!host) return 0;
  const std::string digits = std::to_string(settings.port);
  const std::size_t size =
      host->size() + digits.size() + EscapeUrlPath(share.virtualPath).size() + kUrlOverhead;
  const std::string url = ComposeShareUrl(*host, settings.port, share);
  // The URL, its terminator and spare zero bytes when the port is 80.
  std::string block(size, '\0');
  block.replace(0, url.size(), url);
  if (!clipboard.Replace(block.data(), size)) return 0;
  return 1;
}

int CopyShareUrls(const ServerSettings& settings, const std::vector<SharePtr>& shares) {
  ClipboardSession clipboard(platform::Clipboard());
  if (!clipboard.IsOpen()) return 0;
  const std::optional<std::string> host = UrlHost(settings);
  if (!host) return 0;
  std::string text;
  for (const SharePtr& share : shares) {
    if (!text.empty()) text.append(kUrlSeparator);
    text.append(ComposeShareUrl(*host, settings.port, *share));
  }
  // The text and its terminator.
  if (!clipboard.Replace(text.c_str(), text.size() + 1)) return 0;
  return 1;
}

void CopySelectedUrls(const ServerSettings& settings, ShareRegistry& shares,
                      const std::vector<int>& selectedRows) {
  ClipboardSession clipboard(platform::Clipboard());
  if (!clipboard.IsOpen()) return;
  if (selectedRows.empty()) {
    clipboard.Close();
    messages::Show(messages::kSelectAtLeastOne);
    return;
  }
  const std::optional<std::string> host = UrlHost(settings);
  if (!host) {
    clipboard.Close();
    messages::Show(messages::kUnableToCopyUrl);
    return;
  }
  const std::string digits = std::to_string(settings.port);

  // The shares are taken once: composing from the same records that were measured keeps
  // the text within its size even if the list changes meanwhile.
  std::vector<SharePtr> selected;
  selected.reserve(selectedRows.size());
  std::size_t size = 0;
  for (int row : selectedRows) {
    SharePtr share = shares.ShareAt(row);
    if (!share) {
      clipboard.Close();
      messages::Show(messages::kDesync);
      return;
    }
    size += EscapeUrlPath(share->virtualPath).size() + host->size() + digits.size() + kUrlOverhead;
    if (settings.port != kHttpDefaultPort) size += 1;
    selected.push_back(std::move(share));
  }
  if (size == 0) return;

  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (i != 0) text.append(kUrlSeparator);
    text.append(ComposeShareUrl(*host, settings.port, *selected[i]));
  }
  std::string block(size + 1, '\0');
  block.replace(0, text.size(), text);
  clipboard.Replace(block.data(), block.size());
}

int FillHostList(const std::function<void(const std::string&)>& addEntry,
                 const std::function<void()>& selectFirst) {
  if (!platform::SocketLibraryStart()) return 0;
  int added = 0;
  if (std::optional<std::vector<std::string>> addresses = platform::HostIPv4Addresses()) {
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
