// The native command line: what each argument list asks for, the -config pairs that are
// taken and refused, and the texts -config and -list print.
#include <gtest/gtest.h>

#include "cli/options.h"
#include "shares/share_url.h"

namespace qc::cli {
namespace {

TEST(CliArguments, EachArgumentListAsksForOneAction) {
  struct Case {
    std::vector<std::string> args;
    Action action;
    std::vector<std::string> operands;
    bool quiet;
    bool confirmed = false;  // --yes: folders that hold a drive or the profile too
  };
  const Case cases[] = {
      {{}, Action::Serve, {}, false},
      {{"-quiet"}, Action::Serve, {}, true},
      {{"--quiet"}, Action::Serve, {}, true},
      {{"-q"}, Action::Serve, {}, true},
      {{"a.txt"}, Action::Share, {"a.txt"}, false},
      {{"/x/a.txt", "b c.pdf"}, Action::Share, {"/x/a.txt", "b c.pdf"}, false},
      {{"--", "-stop"}, Action::Share, {"-stop"}, false},
      {{"--", "a", "-b"}, Action::Share, {"a", "-b"}, false},
      {{"-"}, Action::Share, {"-"}, false},
      {{"--yes", "photos", "a.txt"}, Action::Share, {"photos", "a.txt"}, false, true},
      {{"-y", "--", "-dir"}, Action::Share, {"-dir"}, false, true},
      {{"-stop"}, Action::Stop, {}, false},
      {{"--stop"}, Action::Stop, {}, false},
      {{"-h"}, Action::Help, {}, false},
      {{"--help"}, Action::Help, {}, false},
      {{"-help", "x"}, Action::Help, {}, false},
      {{"--version"}, Action::Version, {}, false},
      {{"-list"}, Action::List, {}, false},
      {{"-unshare", "http://h/a", "b"}, Action::Unshare, {"http://h/a", "b"}, false},
      {{"-config"}, Action::Config, {}, false},
      {{"-config", "port=81", "oneshot=yes"}, Action::Config, {"port=81", "oneshot=yes"}, false},
      // Usage errors: each says what is wrong.
      {{"-bogus"}, Action::Usage, {}, false},
      {{"-STOP"}, Action::Usage, {}, false},
      {{"-stop", "now"}, Action::Usage, {}, false},
      {{"-list", "x"}, Action::Usage, {}, false},
      {{"-quiet", "a.txt"}, Action::Usage, {}, false},
      {{"--version", "x"}, Action::Usage, {}, false},
      {{"-unshare"}, Action::Usage, {}, false},
      {{"-ui"}, Action::Usage, {}, false},
      {{"a.txt", "-list"}, Action::Usage, {}, false},
      {{"--"}, Action::Usage, {}, false},
      {{"--yes"}, Action::Usage, {}, false},
      {{"--yes", "-list"}, Action::Usage, {}, false},
      {{"photos", "--yes"}, Action::Usage, {}, false},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    const Invocation invocation = ParseArguments(c.args);
    EXPECT_EQ(invocation.action, c.action);
    EXPECT_EQ(invocation.quiet, c.quiet);
    EXPECT_EQ(invocation.confirmed, c.confirmed);
    if (c.action == Action::Usage) {
      EXPECT_FALSE(invocation.error.empty());
    } else {
      EXPECT_EQ(invocation.operands, c.operands);
      EXPECT_TRUE(invocation.error.empty());
    }
  }
}

TEST(CliSettings, GoodPairsChangeExactlyTheirSettings) {
  ServerSettings before;
  before.port = 80;
  before.flags = kCopyUrlAfterShare;
  before.domain = "old.example";
  struct Case {
    std::vector<std::string> pairs;
    std::string printed;  // FormatSettings of the result
  };
  const Case cases[] = {
      {{},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime="
       "0\n"},
      {{"port=1"},
       "port=1\nhost=0\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime="
       "0\n"},
      {{"port=65535", "host=2"},
       "port=65535\nhost=2\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit="
       "0\nlifetime=0\n"},
      {{"domain=files.example.org", "folder=/pub"},
       "port=80\nhost=0\ndomain=files.example.org\nfolder=/"
       "pub\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n"},
      {{"domain=", "folder="},
       "port=80\nhost=0\ndomain=\nfolder=\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n"},
      {{"oneshot=yes", "copyurl=no"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=yes\ncopyurl=no\nlimit=0\nlifetime="
       "0\n"},
      {{"oneshot=1", "copyurl=off"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=yes\ncopyurl=no\nlimit=0\nlifetime="
       "0\n"},
      {{"oneshot=true", "copyurl=on"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=yes\ncopyurl=yes\nlimit=0\nlifetime="
       "0\n"},
      // Only the first '=' separates: the value may hold more.
      {{"folder=/a=b"},
       "port=80\nhost=0\ndomain=old.example\nfolder=/"
       "a=b\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n"},
      // The defaults of new shares: 0 or empty for none.
      {{"limit=3", "lifetime=7d"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit=3\nlifetime="
       "7d\n"},
      {{"limit=", "lifetime=0"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime="
       "0\n"},
      {{"lifetime=36h"},
       "port=80\nhost=0\ndomain=old.example\nfolder=\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime="
       "36h\n"},
      {{"domain=192.168.1.5:8080", "folder=/"},
       "port=80\nhost=0\ndomain=192.168.1.5:8080\nfolder=/"
       "\noneshot=no\ncopyurl=yes\nlimit=0\nlifetime=0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    SettingChanges changes;
    ASSERT_EQ(ParseSettingChanges(c.pairs, changes), "");
    ServerSettings settings = before;
    ApplySettingChanges(changes, settings);
    ShareDefaults defaults;
    ApplySettingChanges(changes, defaults);
    EXPECT_EQ(FormatSettings(settings, defaults), c.printed);
    // The file's header describes the texts as they now are.
    const std::optional<ServerSettings> reread = ParseSettings(EncodeSettings(settings).value());
    ASSERT_TRUE(reread);
    EXPECT_EQ(reread->domain, settings.domain);
    EXPECT_EQ(reread->defaultFolder, settings.defaultFolder);
  }
}

TEST(CliSettings, BadPairsAreRefusedWithTheReason) {
  struct Case {
    std::vector<std::string> pairs;
    std::string reasonContains;
  };
  const Case cases[] = {
      {{"port=0"}, "port must be a number from 1 to 65535, not \"0\""},
      {{"port=65536"}, "port must be"},
      {{"port=99999999999999"}, "port must be"},
      {{"port=80x"}, "not \"80x\""},
      {{"port= 80"}, "port must be"},
      {{"port=+80"}, "port must be"},
      {{"port=-1"}, "port must be"},
      {{"port="}, "port must be"},
      {{"port=0x50"}, "port must be"},
      {{"host=-1"}, "host must be 0"},
      {{"host=1a"}, "host must be 0"},
      {{"host=65536"}, "host must be 0"},
      {{"oneshot=maybe"}, "oneshot must be yes or no"},
      {{"copyurl="}, "copyurl must be yes or no"},
      {{"domain=a\nb"},
       "domain must be a host name or an IPv4 address, optionally followed by \":\" "
       "and a port from 1 to 65535, not \"a\\x0ab\""},
      {{"folder=/\x7f"},
       "folder must not hold a blank, a control character, \"?\", \"#\" or \"@\", "
       "not \"/\\x7f\""},
      // Each would break every link: http://HOST:PORTabc/f.bin, http://HOST@example.org/f.bin.
      {{"folder=abc"}, "folder must be empty or begin with \"/\", not \"abc\""},
      {{"folder=@example.org"}, "folder must be empty or begin with \"/\""},
      {{"folder=/a b"}, "folder must not hold a blank"},
      {{"folder=/a?b"}, "folder must not hold a blank"},
      {{"folder=/a#b"}, "folder must not hold a blank"},
      {{"folder=/a@b"}, "folder must not hold a blank"},
      {{"domain=a b"}, "domain must be a host name"},
      {{"domain=evil.org/x"}, "domain must be a host name"},
      {{"domain=x@evil.org"}, "domain must be a host name"},
      {{"domain=host:0"}, "domain must be a host name"},
      {{"domain=host:65536"}, "domain must be a host name"},
      {{"domain=[::1]"}, "domain must not be an IPv6 address: the server listens on IPv4 only"},
      {{"domain=" + std::string(65536, 'a')}, "domain is longer than 65535 bytes"},
      {{"Port=81"}, "unknown setting \"Port\""},
      {{"colour=red"}, "unknown setting \"colour\""},
      {{"port"}, "\"port\" is not key=value"},
      {{"limit=-1"}, "limit must be the number of completed downloads new shares end after"},
      {{"limit=1234567890"}, "limit must be the number"},
      {{"limit=two"}, "limit must be the number"},
      {{"lifetime=7"}, "lifetime must be how long new shares live"},
      {{"lifetime=1w"}, "lifetime must be how long new shares live"},
      {{"lifetime=3651d"}, "(at most 3650d)"},
      {{"lifetime=7d\n"}, "not \"7d\\x0a\""},
      {{"port=81", "port=82"}, "port is given twice"},
      {{"limit=1", "limit=2"}, "limit is given twice"},
      // One bad pair refuses the whole list, good ones before it included.
      {{"port=81", "oneshot=2"}, "oneshot must be yes or no"},
      {{"limit=2", "lifetime=soon"}, "lifetime must be"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reasonContains);
    SettingChanges changes;
    const std::string reason = ParseSettingChanges(c.pairs, changes);
    EXPECT_NE(reason.find(c.reasonContains), std::string::npos) << reason;
  }
}

TEST(CliShares, ListLinesAndMarks) {
  struct Case {
    std::string physical;
    std::uint32_t flags;
    std::string line;
  };
  const Case cases[] = {
      {"/home/u/a.txt", 0, "http://h/a\t/home/u/a.txt\t-"},
      {"/home/u/a b.txt", kOneShot, "http://h/a\t/home/u/a b.txt\tone-shot"},
      {"/x", kOneShot | kWithdrawn, "http://h/a\t/x\tone-shot,withdrawn"},
      {"/x", kWithdrawn, "http://h/a\t/x\twithdrawn"},
      {"/x", 0x10 | kOneShot, "http://h/a\t/x\tone-shot"},
      // A path with a tab or a line feed still makes one line of three fields.
      {"/a\tb\nc\\d\x01", 0, "http://h/a\t/a\\tb\\nc\\\\d\\x01\t-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(FormatShareLine("http://h/a", c.physical, c.flags), c.line);
  }
}

// -limit and -until go before the files, each once, with a value that can be meant.
TEST(CliArguments, LimitsOfNewShares) {
  struct Case {
    std::vector<std::string> args;
    Action action;
    std::uint64_t limit = 0;
    std::optional<LocalDateTime> until = std::nullopt;
    bool confirmed = false;
  };
  const LocalDateTime evening{2026, 12, 31, 18, 0, 0};
  const Case cases[] = {
      {{"-limit", "3", "a.txt"}, Action::Share, 3},
      {{"--until", "2026-12-31T18:00", "a.txt"}, Action::Share, 0, evening},
      {{"-limit", "2", "-until", "2026-12-31 18:00:00", "a"}, Action::Share, 2, evening},
      {{"-until", "2028-02-29T23:59:59", "-limit", "1", "--yes", "/"},
       Action::Share,
       1,
       LocalDateTime{2028, 2, 29, 23, 59, 59},
       true},
      {{"--yes", "-limit", "5", "a"}, Action::Share, 5, std::nullopt, true},
      {{"-limit", "0", "a"}, Action::Usage},
      {{"-limit", "-1", "a"}, Action::Usage},
      {{"-limit", "two", "a"}, Action::Usage},
      {{"-limit", "3"}, Action::Usage},
      {{"-limit"}, Action::Usage},
      {{"-limit", "3", "-list"}, Action::Usage},
      {{"-limit", "3", "-limit", "4", "a"}, Action::Usage},
      {{"-until", "2026-12-31", "a"}, Action::Usage},
      {{"-until", "2026-13-01T00:00", "a"}, Action::Usage},
      {{"-until", "2027-02-29T00:00", "a"}, Action::Usage},
      {{"-until", "2026-12-31T24:00", "a"}, Action::Usage},
      {{"-until", "2026-12-31T18:00Z", "a"}, Action::Usage},
      {{"a", "-limit", "3"}, Action::Usage},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    const Invocation invocation = ParseArguments(c.args);
    ASSERT_EQ(invocation.action, c.action);
    if (c.action == Action::Usage) {
      EXPECT_FALSE(invocation.error.empty());
      continue;
    }
    EXPECT_EQ(invocation.limit, c.limit);
    EXPECT_EQ(invocation.confirmed, c.confirmed);
    ASSERT_EQ(invocation.until.has_value(), c.until.has_value());
    if (c.until) {
      const LocalDateTime& u = *invocation.until;
      EXPECT_EQ(std::vector<int>({u.year, u.month, u.day, u.hour, u.minute, u.second}),
                std::vector<int>({c.until->year, c.until->month, c.until->day, c.until->hour,
                                  c.until->minute, c.until->second}));
    }
  }
}

// The columns after the marks: downloads, the last one's time and client, limit, end.
TEST(CliShares, ListLinesWithDownloads) {
  const auto clock = [](std::int64_t t) { return "T" + std::to_string(t); };
  struct Case {
    DownloadTally tally;
    ShareLimits limits;
    std::string tail;
  };
  const Case cases[] = {
      {{}, {}, "\t0\t-\t-\t-\t-"},
      {{2, 1700000000, 0xC0A80105}, {}, "\t2\tT1700000000\t192.168.1.5\t-\t-"},
      {{1, 5, 0}, {3, 0}, "\t1\tT5\t-\t3\t-"},
      {{0, 0, 0}, {0, 1800000000}, "\t0\t-\t-\t-\tT1800000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    EXPECT_EQ(FormatShareLine("http://h/a", "/x", kOneShot, c.tally, c.limits, clock),
              "http://h/a\t/x\tone-shot" + c.tail);
  }
}

TEST(CliShares, UnshareArgumentsMatchByUrlVirtualPathOrFile) {
  const Share share("/home/u/report 2009.pdf", "/pub/report 2009.pdf", 0);
  const std::string url = "http://localhost:8080/pub/report%202009.pdf";
  struct Case {
    std::string argument;
    bool matches;
  };
  const Case cases[] = {
      {url, true},
      {"http://127.0.0.1:8080/pub/report%202009.pdf", true},
      {"http://192.168.1.5/pub/report 2009.pdf", true},
      {"https://localhost:8080/pub/report%202009.pdf", true},
      {"/pub/report 2009.pdf", true},
      {"/pub/report%202009.pdf", true},
      {"/home/u/report 2009.pdf", true},
      {"/home/u/report%202009.pdf", false},
      {"http://localhost:8080/pub/", false},
      {"http://localhost:8080", false},
      {"/pub/REPORT 2009.pdf", false},
      {"report 2009.pdf", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(ShareMatches(c.argument, share, url), c.matches);
  }
}

}  // namespace
}  // namespace qc::cli
