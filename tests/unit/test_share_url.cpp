#include <gtest/gtest.h>

#include <algorithm>
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
using tests::UrlSettings;

TEST(ShareUrl, CopyShareUrlTable) {
  const platform::AddressLookup host =
      FakeHost(std::vector<std::string>{"192.168.1.5", "10.0.0.7"});
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
      // The choice names the address the panel shows at that place.
      {"localhost", 2, 81, "/a.txt", "http://10.0.0.7:81/a.txt"},
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
    ASSERT_EQ(CopyShareUrl(clipboard.Ops(), host, settings, share), UrlCopy::Copied);
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.openCount, 0);
    ASSERT_TRUE(clipboard.contents);
    EXPECT_EQ(clipboard.Text(), c.url);
    // The block is sized as the host, the port digits (even for 80), the path and nine
    // more; everything after the URL is zero.
    const std::string hostText = UrlHost(settings, host);
    const std::size_t size =
        hostText.size() + std::to_string(c.port).size() + EscapeUrlPath(c.virtualPath).size() + 9;
    EXPECT_EQ(clipboard.contents->size(), size);
    EXPECT_EQ(clipboard.contents->substr(c.url.size()), std::string(size - c.url.size(), '\0'));
    EXPECT_EQ(ComposeShareUrl(hostText, c.port, share), c.url);
  }
}

TEST(ShareUrl, CopyShareUrlFailures) {
  const Share share("C:\\x", "/a", 0);
  {
    SCOPED_TRACE("clipboard cannot be opened");
    const platform::AddressLookup host = FakeHost(std::vector<std::string>{"1.2.3.4"});
    FakeClipboard clipboard;
    clipboard.openSucceeds = false;
    EXPECT_EQ(CopyShareUrl(clipboard.Ops(), host, UrlSettings("h", 0, 80), share),
              UrlCopy::ClipboardUnavailable);
    EXPECT_EQ(clipboard.calls, std::vector<std::string>{"open"});
    EXPECT_EQ(clipboard.Text(), "previous");
  }
  {
    SCOPED_TRACE("block cannot be allocated");
    FakeClipboard clipboard;
    clipboard.allocationSucceeds = false;
    // A domain needs no lookup: a machine without addresses will do.
    EXPECT_EQ(
        CopyShareUrl(clipboard.Ops(), platform::AddressLookup{}, UrlSettings("h", 0, 80), share),
        UrlCopy::NotSet);
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.openCount, 0);
    EXPECT_FALSE(clipboard.contents);  // emptied just before
  }
  const std::optional<std::vector<std::string>> noHosts[] = {std::nullopt,
                                                             std::vector<std::string>{}};
  for (const auto& addresses : noHosts) {
    SCOPED_TRACE("no address: loopback, so the link still works on this machine");
    const platform::AddressLookup host = FakeHost(addresses);
    FakeClipboard clipboard;
    EXPECT_EQ(UrlHost(UrlSettings("", 0, 80), host), "127.0.0.1");
    EXPECT_EQ(UrlHost(UrlSettings("h", 1, 80), host), "127.0.0.1");
    EXPECT_EQ(CopyShareUrl(clipboard.Ops(), host, UrlSettings("", 0, 80), share), UrlCopy::Copied);
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.Text(), "http://127.0.0.1/a");
    // A domain needs no lookup.
    EXPECT_EQ(CopyShareUrl(clipboard.Ops(), host, UrlSettings("h", 0, 80), share), UrlCopy::Copied);
    EXPECT_EQ(clipboard.Text(), "http://h/a");
  }
}

TEST(HostAddresses, OneListDefaultRouteFirstLoopbackAndLinkLocalOnlyWhenAlone) {
  using List = std::vector<std::string>;
  struct Case {
    const char* name;
    std::optional<List> interfaces;  // in the system's order
    std::optional<std::string> route;
    std::optional<List> listed;
  };
  const Case cases[] = {
      {"a virtual adapter listed first goes behind the route's",
       List{"172.22.80.1", "192.168.1.20"}, "192.168.1.20", List{"192.168.1.20", "172.22.80.1"}},
      {"the route's moves to the front, the rest keep their order",
       List{"10.0.0.5", "192.168.1.20", "172.16.0.1"}, "192.168.1.20",
       List{"192.168.1.20", "10.0.0.5", "172.16.0.1"}},
      {"no route: the system's order", List{"10.0.0.5", "192.168.1.20"}, std::nullopt,
       List{"10.0.0.5", "192.168.1.20"}},
      {"a route to an address not listed changes nothing", List{"10.0.0.5"}, "10.9.9.9",
       List{"10.0.0.5"}},
      {"loopback and link-local go when others exist",
       List{"127.0.0.1", "169.254.7.1", "192.0.2.2", "127.0.1.1"}, "192.0.2.2", List{"192.0.2.2"}},
      {"only link-local and loopback: link-local", List{"127.0.0.1", "169.254.7.1"}, std::nullopt,
       List{"169.254.7.1"}},
      {"only loopback: loopback", List{"127.0.0.1", "127.0.1.1"}, std::nullopt,
       List{"127.0.0.1", "127.0.1.1"}},
      {"near misses are ordinary addresses",
       List{"169.253.1.1", "169.25.4.1", "12.7.0.1", "1.127.0.1"}, std::nullopt,
       List{"169.253.1.1", "169.25.4.1", "12.7.0.1", "1.127.0.1"}},
      {"an address on two interfaces is one entry", List{"10.0.0.5", "192.168.1.20", "10.0.0.5"},
       "10.0.0.5", List{"10.0.0.5", "192.168.1.20"}},
      {"no interface up", List{}, std::nullopt, List{}},
      {"the interfaces cannot be listed", std::nullopt, "192.0.2.2", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::AddressLookup host = FakeHost(c.interfaces, c.route);
    EXPECT_EQ(platform::HostIPv4Addresses(host), c.listed);
    EXPECT_EQ(platform::DefaultRouteAddress(host), c.route);
  }
}

TEST(ShareUrl, HostRuleDomainThenChoiceThenRouteThenFirstThenLoopback) {
  using List = std::vector<std::string>;
  // A Windows machine whose hypervisor switch comes first in the adapter list.
  const List adapters = {"172.22.80.1", "192.168.1.20", "127.0.0.1"};
  struct Case {
    const char* name;
    std::optional<List> interfaces;
    std::optional<std::string> route;
    std::string domain;
    std::uint16_t hostChoice;
    std::string host;
    HostSource source;
  };
  const Case cases[] = {
      {"the domain with host choice 0", adapters, "192.168.1.20", "files.example", 0,
       "files.example", HostSource::Domain},
      {"host choice 1: the first listed, the route's", adapters, "192.168.1.20", "files.example", 1,
       "192.168.1.20", HostSource::ChosenAddress},
      {"host choice 2: the second listed", adapters, "192.168.1.20", "files.example", 2,
       "172.22.80.1", HostSource::ChosenAddress},
      {"no domain: the route's", adapters, "192.168.1.20", "", 0, "192.168.1.20",
       HostSource::DefaultRoute},
      {"a choice past the list: the route's", adapters, "192.168.1.20", "files.example", 3,
       "192.168.1.20", HostSource::DefaultRoute},
      {"the name maps to loopback: the interface's", List{"127.0.1.1", "192.0.2.2"}, "192.0.2.2",
       "", 0, "192.0.2.2", HostSource::DefaultRoute},
      {"no route: the first listed", List{"10.0.0.5", "192.168.1.20"}, std::nullopt, "", 0,
       "10.0.0.5", HostSource::FirstAddress},
      {"no route and a choice past the list: the first listed", List{"10.0.0.5"}, std::nullopt, "",
       4, "10.0.0.5", HostSource::FirstAddress},
      {"a route but no list", std::nullopt, "192.0.2.2", "", 1, "192.0.2.2",
       HostSource::DefaultRoute},
      {"nothing at all: loopback", List{}, std::nullopt, "", 0, "127.0.0.1", HostSource::Loopback},
      {"only loopback, chosen", List{"127.0.0.1"}, std::nullopt, "", 1, "127.0.0.1",
       HostSource::ChosenAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::AddressLookup host = FakeHost(c.interfaces, c.route);
    const LinkHost chosen = ChooseUrlHost(UrlSettings(c.domain, c.hostChoice, 80), host);
    EXPECT_EQ(chosen.text, c.host);
    EXPECT_EQ(chosen.source, c.source);
    EXPECT_EQ(UrlHost(UrlSettings(c.domain, c.hostChoice, 80), host), c.host);
  }
}

TEST(ShareUrl, HostChoiceNIsTheNthEntryThePanelShows) {
  const platform::AddressLookup host =
      FakeHost(std::vector<std::string>{"172.22.80.1", "10.0.0.5", "192.168.1.20", "169.254.3.3"},
               std::string("192.168.1.20"));
  std::vector<std::string> entries;
  ASSERT_EQ(FillHostList(
                host, [&](const std::string& a) { entries.push_back(a); }, [] {}),
            3);
  for (std::size_t n = 1; n <= entries.size(); ++n) {
    SCOPED_TRACE(n);
    const Share share("C:\\x", "/a", 0);
    FakeClipboard clipboard;
    ASSERT_EQ(CopyShareUrl(clipboard.Ops(), host,
                           UrlSettings("files.example", static_cast<std::uint16_t>(n), 80), share),
              UrlCopy::Copied);
    EXPECT_EQ(clipboard.Text(), "http://" + entries[n - 1] + "/a");
  }
  EXPECT_EQ(entries.front(), "192.168.1.20");
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
    const platform::AddressLookup host = FakeHost(c.addresses);
    std::vector<std::string> entries;
    int selects = 0;
    std::size_t entriesWhenSelected = 0;
    const int added = FillHostList(
        host, [&](const std::string& a) { entries.push_back(a); },
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
  // Whatever this machine's interfaces are, every address comes back in dotted decimal.
  FillHostList(
      platform::SystemAddressLookup(),
      [](const std::string& address) {
        int a, b, c, d;
        char tail;
        EXPECT_EQ(std::sscanf(address.c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail), 4)
            << address;
      },
      [] {});
}

TEST(HostAddresses, RealListKeepsItsOrderOnThisMachine) {
  // The backends' own answers: the route's source, when this machine has a default
  // route, is an address of an interface that is up and leads the list.
  const platform::AddressLookup system = platform::SystemAddressLookup();
  const std::optional<std::vector<std::string>> listed = platform::HostIPv4Addresses(system);
  ASSERT_TRUE(listed);
  const std::optional<std::string> route = platform::DefaultRouteAddress(system);
  if (route) {
    ASSERT_FALSE(listed->empty());
    EXPECT_EQ(listed->front(), *route);
    EXPECT_EQ(UrlHost(UrlSettings("", 0, 80), system), *route);
  }
  const auto local = [](const std::string& a) {
    return a.rfind("127.", 0) == 0 || a.rfind("169.254.", 0) == 0;
  };
  const bool anyLocal = std::any_of(listed->begin(), listed->end(), local);
  const bool allLocal = std::all_of(listed->begin(), listed->end(), local);
  EXPECT_TRUE(!anyLocal || allLocal);
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
    EXPECT_EQ(EscapeUrlPath(std::string(1, c)),
              expectEscape ? std::string(hex) : std::string(1, c));
  }
}

TEST(ShareUrl, CopyShareUrlsJoinsABatchLikeThePanel) {
  const platform::AddressLookup host = FakeHost(std::vector<std::string>{"192.168.1.5"});
  const ServerSettings settings = UrlSettings("", 1, 8080);
  const std::vector<SharePtr> shares = {std::make_shared<Share>("C:\\a b.pdf", "/a b.pdf", 0),
                                        std::make_shared<Share>("C:\\c.txt", "/c.txt", 0),
                                        std::make_shared<Share>("C:\\d%.txt", "/d%.txt", 0)};
  FakeClipboard clipboard;
  ASSERT_EQ(CopyShareUrls(clipboard.Ops(), host, settings, shares), UrlCopy::Copied);
  EXPECT_EQ(clipboard.calls, kCalls);
  EXPECT_EQ(clipboard.openCount, 0);
  EXPECT_EQ(clipboard.contents.value_or(""),
            std::string("http://192.168.1.5:8080/a%20b.pdf\r\nhttp://192.168.1.5:8080/c.txt\r\n"
                        "http://192.168.1.5:8080/d%25.txt\0",
                        99));
  {
    SCOPED_TRACE("clipboard cannot be opened");
    FakeClipboard closed;
    closed.openSucceeds = false;
    EXPECT_EQ(CopyShareUrls(closed.Ops(), host, settings, shares), UrlCopy::ClipboardUnavailable);
    EXPECT_EQ(closed.Text(), "previous");
  }
  {
    SCOPED_TRACE("block cannot be allocated");
    FakeClipboard full;
    full.allocationSucceeds = false;
    EXPECT_EQ(CopyShareUrls(full.Ops(), host, settings, shares), UrlCopy::NotSet);
    EXPECT_EQ(full.openCount, 0);
  }
}

}  // namespace
}  // namespace qc
