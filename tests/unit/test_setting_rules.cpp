// The rules settings must follow wherever they are entered, and where a link takes a
// domain's own port.
#include <gtest/gtest.h>

#include <string>

#include "shares/setting_rules.h"

namespace qc {
namespace {

TEST(SettingRules, PortsFolderAndDomains) {
  enum Field { Port, Folder, Domain };
  struct Case {
    Field field;
    std::string value;  // the port in decimal for Port
    SettingFault fault;
  };
  const std::string label63(63, 'a');
  // Four labels of 63 and one of 57: 253 bytes in all, the longest name.
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  const Case cases[] = {
      {Port, "0", SettingFault::Port},
      {Port, "1", SettingFault::None},
      {Port, "65535", SettingFault::None},
      {Port, "65536", SettingFault::Port},
      {Port, "-1", SettingFault::Port},

      {Folder, "", SettingFault::None},
      {Folder, "/", SettingFault::None},
      {Folder, "/temp", SettingFault::None},
      {Folder, "/a/b.c-d_e~%20", SettingFault::None},
      {Folder, "/\xC3\xBC\xE0", SettingFault::None},  // 8-bit bytes stand in links as they are
      {Folder, "abc", SettingFault::FolderStart},
      {Folder, "@example.org", SettingFault::FolderStart},
      {Folder, "temp/", SettingFault::FolderStart},
      {Folder, " /temp", SettingFault::FolderStart},
      {Folder, "/a b", SettingFault::FolderCharacter},
      {Folder, "/a?b", SettingFault::FolderCharacter},
      {Folder, "/a#b", SettingFault::FolderCharacter},
      {Folder, "/a@b", SettingFault::FolderCharacter},
      {Folder, "/a\tb", SettingFault::FolderCharacter},
      {Folder, "/a\nb", SettingFault::FolderCharacter},
      {Folder, std::string("/a\0b", 4), SettingFault::FolderCharacter},
      {Folder, "/a\x7F", SettingFault::FolderCharacter},

      {Domain, "", SettingFault::None},
      {Domain, "localhost", SettingFault::None},
      {Domain, "files.example.org", SettingFault::None},
      {Domain, "files.example.org:8080", SettingFault::None},
      {Domain, "h:1", SettingFault::None},
      {Domain, "h:65535", SettingFault::None},
      {Domain, "192.168.1.5", SettingFault::None},
      {Domain, "0.0.0.0:80", SettingFault::None},
      {Domain, "MY_PC", SettingFault::None},
      {Domain, "my-pc.lan", SettingFault::None},
      {Domain,
       "b\xC3\xBC"
       "cher.de",
       SettingFault::None},
      {Domain, "xn--bcher-kva.de", SettingFault::None},
      {Domain, "a1.b2", SettingFault::None},
      {Domain, label63 + ".org", SettingFault::None},
      {Domain, longest, SettingFault::None},
      {Domain, longest + "b", SettingFault::Domain},
      {Domain, std::string(64, 'a') + ".org", SettingFault::Domain},
      {Domain, "a b", SettingFault::Domain},
      {Domain, "a/b", SettingFault::Domain},
      {Domain, "example.org/x", SettingFault::Domain},
      {Domain, "user@host", SettingFault::Domain},
      {Domain, "a=b", SettingFault::Domain},
      {Domain, "http://host", SettingFault::Domain},
      {Domain, "host:", SettingFault::Domain},
      {Domain, ":8080", SettingFault::Domain},
      {Domain, "host:0", SettingFault::Domain},
      {Domain, "host:65536", SettingFault::Domain},
      {Domain, "host:080", SettingFault::Domain},
      {Domain, "host:+80", SettingFault::Domain},
      {Domain, "host:8o", SettingFault::Domain},
      {Domain, "-host", SettingFault::Domain},
      {Domain, "host-", SettingFault::Domain},
      {Domain, ".host", SettingFault::Domain},
      {Domain, "host.", SettingFault::Domain},
      {Domain, "a..b", SettingFault::Domain},
      {Domain, "a\tb", SettingFault::Domain},
      {Domain, std::string("a\0b", 3), SettingFault::Domain},
      // A name ending in a number is an address to a browser: it must be a whole one.
      {Domain, "1.2.3", SettingFault::Domain},
      {Domain, "123", SettingFault::Domain},
      {Domain, "example.123", SettingFault::Domain},
      {Domain, "256.1.1.1", SettingFault::Domain},
      {Domain, "01.2.3.4", SettingFault::Domain},
      {Domain, "1.2.3.4.5", SettingFault::Domain},
      {Domain, "[::1]", SettingFault::DomainIPv6},
      {Domain, "[::1]:8080", SettingFault::DomainIPv6},
      {Domain, "::1", SettingFault::DomainIPv6},
      {Domain, "fe80::1", SettingFault::DomainIPv6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.value));
    switch (c.field) {
      case Port:
        EXPECT_EQ(CheckPort(std::stoll(c.value)), c.fault);
        break;
      case Folder:
        EXPECT_EQ(CheckFolder(c.value), c.fault);
        break;
      case Domain:
        EXPECT_EQ(CheckDomain(c.value), c.fault);
        break;
    }
  }
}

TEST(SettingRules, SettingsAsAWholeNameTheirFirstFault) {
  struct Case {
    std::uint16_t port;
    std::string domain;
    std::string folder;
    SettingFault fault;
  };
  const Case cases[] = {
      {80, "", "", SettingFault::None},
      {81, "localhost", "/temp", SettingFault::None},
      {0, "localhost", "/temp", SettingFault::Port},
      {0, "a b", "abc", SettingFault::Port},
      {81, "a b", "abc", SettingFault::Domain},
      {81, "localhost", "abc", SettingFault::FolderStart},
  };
  for (const Case& c : cases) {
    ServerSettings settings;
    settings.port = c.port;
    settings.domain = c.domain;
    settings.defaultFolder = c.folder;
    EXPECT_EQ(CheckSettings(settings), c.fault) << c.port << " " << c.domain << " " << c.folder;
  }
}

TEST(SettingRules, DomainPortIsTheNumberAfterTheColon) {
  struct Case {
    const char* domain;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"example.org:8080", 8080},
      {"1.2.3.4:1", 1},
      {"h:65535", 65535},
      {"example.org", 0},
      {"h:0", 0},
      {"h:65536", 0},
      {"h:", 0},
      {"[::1]:80", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(DomainPort(c.domain), c.port) << c.domain;
}

}  // namespace
}  // namespace qc
