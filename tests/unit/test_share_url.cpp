#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/host_addresses.h"
#include "shares/settings_file.h"
#include "shares/share_registry.h"
#include "shares/share_url.h"
#include "unit/clipboard_fakes.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::FakeClipboard;
using tests::FakeHost;
using tests::kCalls;
using tests::MessageRecorder;
using tests::UrlSettings;

TEST(ShareUrl, CopyShareUrlTable) {
  FakeHost host(std::vector<std::string>{"192.168.1.5", "10.0.0.7"});
  struct Case {
    std::string domain;
    std::uint16_t hostChoice;
    std::uint16_t port;
    std::string virtualPath;
    std::string url;
  };
  const Case cases[] = {
      {"localhost", 0, 80, "/temp/a.txt", "http://localhost/temp/a.txt"},
      {"localhost", 0, 81, "/temp/a.txt", "http://localhost:81/temp/a.txt"},
      {"", 0, 80, "/a.txt", "http://192.168.1.5/a.txt"},
      {"localhost", 2, 81, "/a.txt", "http://192.168.1.5:81/a.txt"},
      {"localhost", 1, 80, "/a.txt", "http://192.168.1.5/a.txt"},
      // The blank is escaped so the link survives pasting.
      {"localhost", 0, 80, "/temp/report 2009.pdf", "http://localhost/temp/report%202009.pdf"},
      {"localhost", 0, 0, "/a", "http://localhost:0/a"},
      {"localhost", 0, 65535, "/a", "http://localhost:65535/a"},
      {"x y%/:@", 0, 80, "/a", "http://x y%/:@/a"},
      {"h", 0, 80, "/\xE0\xE9%20", "http://h/\xE0\xE9%2520"},
      {"h", 0, 81, "/a b/#1?.txt", "http://h:81/a%20b/%231%3F.txt"},
      // A domain with a port of its own (forwarded to this one) is reached at that port.
      {"files.example.org:8080", 0, 81, "/a", "http://files.example.org:8080/a"},
      {"1.2.3.4:8080", 0, 80, "/a", "http://1.2.3.4:8080/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const ServerSettings settings = UrlSettings(c.domain, c.hostChoice, c.port);
    const Share share("C:\\x", c.virtualPath, 0);
    FakeClipboard clipboard;
    ASSERT_EQ(CopyShareUrl(settings, share), UrlCopy::Copied);
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.openCount, 0);
    ASSERT_TRUE(clipboard.contents);
    EXPECT_EQ(clipboard.Text(), c.url);
    // The block is sized as the host, the port digits (even for 80), the path and nine
    // more; everything after the URL is zero.
    const std::string host = UrlHost(settings).value();
    const std::size_t size =
        host.size() + std::to_string(c.port).size() + EscapeUrlPath(c.virtualPath).size() + 9;
    EXPECT_EQ(clipboard.contents->size(), size);
    EXPECT_EQ(clipboard.contents->substr(c.url.size()), std::string(size - c.url.size(), '\0'));
    EXPECT_EQ(ComposeShareUrl(host, c.port, share), c.url);
  }
}

TEST(ShareUrl, CopyShareUrlFailures) {
  const Share share("C:\\x", "/a", 0);
  {
    SCOPED_TRACE("clipboard cannot be opened");
    FakeHost host(std::vector<std::string>{"1.2.3.4"});
    FakeClipboard clipboard;
    clipboard.openSucceeds = false;
    EXPECT_EQ(CopyShareUrl(UrlSettings("h", 0, 80), share), UrlCopy::ClipboardUnavailable);
    EXPECT_EQ(clipboard.calls, std::vector<std::string>{"open"});
    EXPECT_EQ(clipboard.Text(), "previous");
  }
  {
    SCOPED_TRACE("block cannot be allocated");
    FakeClipboard clipboard;
    clipboard.allocationSucceeds = false;
    EXPECT_EQ(CopyShareUrl(UrlSettings("h", 0, 80), share), UrlCopy::NotSet);
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.openCount, 0);
    EXPECT_FALSE(clipboard.contents);  // emptied just before
  }
  const std::optional<std::vector<std::string>> noHosts[] = {std::nullopt,
                                                             std::vector<std::string>{}};
  for (const auto& addresses : noHosts) {
    SCOPED_TRACE("no host text");
    FakeHost host(addresses);
    FakeClipboard clipboard;
    MessageRecorder recorder;
    EXPECT_FALSE(UrlHost(UrlSettings("", 0, 80)));
    EXPECT_FALSE(UrlHost(UrlSettings("h", 1, 80)));
    EXPECT_EQ(CopyShareUrl(UrlSettings("", 0, 80), share), UrlCopy::NoHost);
    EXPECT_EQ(clipboard.calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(clipboard.Text(), "previous");
    EXPECT_TRUE(recorder.Messages().empty());
    // A domain needs no lookup.
    EXPECT_EQ(CopyShareUrl(UrlSettings("h", 0, 80), share), UrlCopy::Copied);
    EXPECT_EQ(clipboard.Text(), "http://h/a");
  }
}

TEST(FillHostList, AddsEveryAddressInLookupOrder) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> addresses;
    int selects;
  };
  const Case cases[] = {
      {"three", std::vector<std::string>{"192.168.0.10", "10.0.0.1", "172.16.5.4"}, 1},
      {"one", std::vector<std::string>{"127.0.1.1"}, 1},
      {"none", std::vector<std::string>{}, 0},
      {"lookup fails", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host(c.addresses);
    std::vector<std::string> entries;
    int selects = 0;
    std::size_t entriesWhenSelected = 0;
    const int added = FillHostList([&](const std::string& a) { entries.push_back(a); },
                                   [&] {
                                     ++selects;
                                     entriesWhenSelected = entries.size();
                                   });
    const std::vector<std::string> expected = c.addresses.value_or(std::vector<std::string>{});
    EXPECT_EQ(added, static_cast<int>(expected.size()));
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(selects, c.selects);
    if (selects != 0) {
      EXPECT_EQ(entriesWhenSelected, expected.size());
    }
  }
}

TEST(HostAddresses, RealLookupGivesDottedQuadsOrNothing) {
  // Whatever this machine's resolver says, every address comes back in dotted decimal.
  FillHostList(
      [](const std::string& address) {
        int a, b, c, d;
        char tail;
        EXPECT_EQ(std::sscanf(address.c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail), 4)
            << address;
      },
      [] {});
}

TEST(EscapeUrlPath, EscapesExactlyTheBytesThatBreakALink) {
  struct Case {
    std::string path;
    std::string escaped;
  };
  const Case cases[] = {
      {"", ""},
      {"/a.txt", "/a.txt"},
      {"/temp/report 2009.pdf", "/temp/report%202009.pdf"},
      {"/a#b.txt", "/a%23b.txt"},
      {"/100%.txt", "/100%25.txt"},
      {"/%20", "/%2520"},
      {"/\"<>?[\\]^`{|}", "/%22%3C%3E%3F%5B%5C%5D%5E%60%7B%7C%7D"},
      {std::string("/\x01\t\n\r\x1F\x7F", 7), "/%01%09%0A%0D%1F%7F"},
      {std::string("/a\0b", 4), "/a%00b"},
      // Other punctuation stands as it is.
      {"/a-b_c.d~e!$&'()*+,;=:@/", "/a-b_c.d~e!$&'()*+,;=:@/"},
      // 8-bit bytes (an ANSI code page name, or UTF-8) stand as they are.
      {"/\xEE\xF2\xF7\xB8\xF2 2009.pdf", "/\xEE\xF2\xF7\xB8\xF2%202009.pdf"},
      {"/\xD0\xBE\xD1\x82.txt", "/\xD0\xBE\xD1\x82.txt"},
      {"/\x80\xFF", "/\x80\xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(EscapeUrlPath(c.path), c.escaped);
  }
  // Every byte value once: exactly the controls, DEL and " #%<>?[\]^`{|} and the blank
  // are escaped, each as % and two upper-case hex digits.
  const std::string escapedSet = " \"#%<>?[\\]^`{|}";
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const char c = static_cast<char>(b);
    const bool expectEscape = b < 0x20 || b == 0x7F || escapedSet.find(c) != std::string::npos;
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", b);
    EXPECT_EQ(EscapeUrlPath(std::string(1, c)), expectEscape ? std::string(hex) : std::string(1, c));
  }
}

TEST(ShareUrl, CopyShareUrlsJoinsABatchLikeThePanel) {
  FakeHost host(std::vector<std::string>{"192.168.1.5"});
  const ServerSettings settings = UrlSettings("", 1, 8080);
  const std::vector<SharePtr> shares = {
      std::make_shared<Share>("C:\\a b.pdf", "/a b.pdf", 0),
      std::make_shared<Share>("C:\\c.txt", "/c.txt", 0),
      std::make_shared<Share>("C:\\d%.txt", "/d%.txt", 0)};
  FakeClipboard clipboard;
  ASSERT_EQ(CopyShareUrls(settings, shares), UrlCopy::Copied);
  EXPECT_EQ(clipboard.calls, kCalls);
  EXPECT_EQ(clipboard.openCount, 0);
  EXPECT_EQ(clipboard.contents.value_or(""),
            std::string("http://192.168.1.5:8080/a%20b.pdf\r\nhttp://192.168.1.5:8080/c.txt\r\n"
                        "http://192.168.1.5:8080/d%25.txt\0", 99));
  {
    SCOPED_TRACE("clipboard cannot be opened");
    FakeClipboard closed;
    closed.openSucceeds = false;
    EXPECT_EQ(CopyShareUrls(settings, shares), UrlCopy::ClipboardUnavailable);
    EXPECT_EQ(closed.Text(), "previous");
  }
  {
    SCOPED_TRACE("block cannot be allocated");
    FakeClipboard full;
    full.allocationSucceeds = false;
    EXPECT_EQ(CopyShareUrls(settings, shares), UrlCopy::NotSet);
    EXPECT_EQ(full.openCount, 0);
  }
}

}  // namespace
}  // namespace qc
