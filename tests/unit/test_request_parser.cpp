#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/request_parser.h"

using namespace std::string_view_literals;

namespace qc {
namespace {

struct Parsed {
  Request request;
  bool bufferUnchanged = false;
};

// The head goes into a heap block of exactly length + 1 bytes with the terminator last,
// as the connection hands it over, so a read past the terminator is caught by ASan.
Parsed Parse(std::string_view head) {
  const auto length = static_cast<std::int32_t>(head.size());
  std::unique_ptr<char[]> buffer(new char[head.size() + 1]);
  std::memcpy(buffer.get(), head.data(), head.size());
  buffer[head.size()] = '\0';
  Parsed parsed;
  parsed.request = ParseRequest(buffer.get(), length);
  parsed.bufferUnchanged =
      std::memcmp(buffer.get(), head.data(), head.size()) == 0 && buffer[head.size()] == '\0';
  return parsed;
}

// The same head in a block of exactly `length` bytes, no terminator: every scan must stop
// at `length` on its own (ASan reports a read of the byte after the block).
Request ParseUnterminated(std::string_view head) {
  std::unique_ptr<char[]> buffer(new char[head.size()]);
  if (!head.empty()) std::memcpy(buffer.get(), head.data(), head.size());
  return ParseRequest(buffer.get(), static_cast<std::int32_t>(head.size()));
}

constexpr std::int64_t kNone = -1;
// The path column's "no path was decoded"; a path may hold a zero byte, so it is a view.
constexpr std::string_view kNoPath = "(no path)";

std::optional<std::int64_t> Given(std::int64_t value) {
  return value == kNone ? std::nullopt : std::optional<std::int64_t>(value);
}

// The tables' mode column: 0 no Connection header understood, 1 close, 2 keep-alive.
ConnectionMode ModeOf(int column) {
  const ConnectionMode modes[] = {ConnectionMode::None, ConnectionMode::Close,
                                  ConnectionMode::KeepAlive};
  return modes[column];
}

struct ParseCase {
  const char* name;
  std::string_view head;
  int bad;
  std::string_view path;  // kNoPath: no path was decoded
  bool hasRange;
  std::int64_t rangeStart;  // kNone: not given
  std::int64_t rangeEnd;
  int mode;
  bool linkPreview = false;
  bool unmatchable = false;  // the path can name no share (a decoded zero byte)
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseRequestTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestTable, FillsFields) {
  const ParseCase& c = GetParam();
  const Parsed parsed = Parse(c.head);
  EXPECT_EQ(parsed.request.badRequest, c.bad != 0);
  if (c.path == kNoPath) {
    EXPECT_FALSE(parsed.request.path.has_value()) << *parsed.request.path;
  } else {
    ASSERT_TRUE(parsed.request.path.has_value());
    EXPECT_EQ(*parsed.request.path, std::string(c.path));
    EXPECT_EQ(parsed.request.pathMatchable, !c.unmatchable);
  }
  EXPECT_EQ(parsed.request.hasRange, c.hasRange);
  if (c.hasRange) {
    EXPECT_EQ(parsed.request.rangeStart, Given(c.rangeStart));
    EXPECT_EQ(parsed.request.rangeEnd, Given(c.rangeEnd));
  }
  EXPECT_EQ(parsed.request.mode, ModeOf(c.mode));
  EXPECT_EQ(parsed.request.linkPreview, c.linkPreview);
  EXPECT_TRUE(parsed.bufferUnchanged);
}

TEST_P(ParseRequestTable, SameWithoutTheTerminator) {
  const Request expected = Parse(GetParam().head).request;
  const Request request = ParseUnterminated(GetParam().head);
  EXPECT_EQ(request.badRequest, expected.badRequest);
  EXPECT_EQ(request.path, expected.path);
  EXPECT_EQ(request.pathMatchable, expected.pathMatchable);
  EXPECT_EQ(request.hasRange, expected.hasRange);
  EXPECT_EQ(request.rangeStart, expected.rangeStart);
  EXPECT_EQ(request.rangeEnd, expected.rangeEnd);
  EXPECT_EQ(request.mode, expected.mode);
  EXPECT_EQ(request.linkPreview, expected.linkPreview);
}

// Request lines and targets.
const ParseCase kRequestLineCases[] = {
    {"Plain", "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n", 0, "/a.txt", false, 0, 0, 0},
    {"BareLineFeeds", "GET /a.txt HTTP/1.0\n\n", 0, "/a.txt", false, 0, 0, 0},
    {"LowerCaseMethod", "get /a HTTP/1.1\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"MixedCaseMethod", "gEt /a HTTP/1.1\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"Head", "HEAD /a HTTP/1.1\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"LowerCaseHead", "head /a HTTP/1.1\r\nRange: bytes=1-2\r\n\r\n", 0, "/a", true, 1, 2, 0},
    {"Post", "POST /a HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"Options", "OPTIONS * HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    // Only the first line can be the request line: nothing after it is read then.
    {"NoRequestLine", "Host: x\r\nConnection: close\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"PutThenAGetLine", "PUT /x HTTP/1.1\r\nGET x HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"HeaderThenAGetLine", "X: GET /x\r\nGET /x HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"EmptyHead", "", 1, kNoPath, false, 0, 0, 0},
    {"OnlyLineBreaks", "\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"GetWithoutBlankAfter", "GET\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"NoBlankAfterTarget", "GET /a\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"EmptyTarget", "GET  /a HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"EscapedBlank", "GET /a%20b.txt HTTP/1.1\r\n\r\n", 0, "/a b.txt", false, 0, 0, 0},
    {"EscapeLowerCaseHex", "GET /%7e%7E HTTP/1.1\r\n\r\n", 0, "/~~", false, 0, 0, 0},
    {"PlusIsKept", "GET /a+b HTTP/1.1\r\n\r\n", 0, "/a+b", false, 0, 0, 0},
    {"QueryKept", "GET /a.txt?x=1 HTTP/1.1\r\n\r\n", 0, "/a.txt?x=1", false, 0, 0, 0},
    {"RawHighByteInTarget", "GET /a\xC3\xA9 HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"RawByte80InTarget", "GET /\x80 HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"TabInTarget", "GET /a\tb HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    {"Byte1FKeptInTarget",
     "GET /a\x1f"
     "b HTTP/1.1\r\n\r\n",
     0,
     "/a\x1f"
     "b",
     false, 0, 0, 0},
    // A decoded zero byte never cuts the path: it stays, and the path names no share.
    {"BadEscapeKeepsTheRest", "GET /a%zzb HTTP/1.1\r\n\r\n", 0, "/a\0b"sv, false, 0, 0, 0, false,
     true},
    {"EscapedZeroKeepsTheRest", "GET /a%00b HTTP/1.1\r\n\r\n", 0, "/a\0b"sv, false, 0, 0, 0, false,
     true},
    {"EscapedZeroBeforeAnExtension", "GET /f.bin%00.exe HTTP/1.1\r\n\r\n", 0, "/f.bin\0.exe"sv,
     false, 0, 0, 0, false, true},
    {"OnlyEscapedZero", "GET %00 HTTP/1.1\r\n\r\n", 0, "\0"sv, false, 0, 0, 0, false, true},
    // strtol conventions over the two bytes after '%'.
    {"EscapeOneHexDigit", "GET /%4g HTTP/1.1\r\n\r\n", 0, "/\x04", false, 0, 0, 0},
    {"EscapeWithPlus", "GET /%+41 HTTP/1.1\r\n\r\n", 0,
     "/\x04"
     "1",
     false, 0, 0, 0},
    {"VerticalTabInTarget",
     "GET /%\x0b"
     "6 HTTP/1.1\r\n\r\n",
     1, kNoPath, false, 0, 0, 0},
    {"EscapeHexPrefix", "GET /%0x41 HTTP/1.1\r\n\r\n", 0,
     "/\0"
     "41"sv,
     false, 0, 0, 0, false, true},
    // An escape at the target's end takes the blank and the byte after it.
    {"EscapeAtTargetEnd", "GET /a% HTTP/1.1\r\n\r\n", 0, "/a\0"sv, false, 0, 0, 0, false, true},
    {"EscapeTakesTheBlank", "GET /a%4 1\r\n\r\n", 0, "/a\x04", false, 0, 0, 0},
    {"EscapeTakesBlankAndNextByte", "GET /a% 1.1\r\n\r\n", 0, "/a\x01", false, 0, 0, 0},
    {"EscapeReachesTerminator", "GET /% ", 0, "/\0"sv, false, 0, 0, 0, false, true},
    {"EscapeRightBeforeTerminator", "GET % ", 0, "\0"sv, false, 0, 0, 0, false, true},
    // The target is taken from offset 4 of the head, wherever the GET line is.
    {"EmptyLineBeforeGet", "\r\nGET /a HTTP/1.1\r\n\r\n", 0, "T", false, 0, 0, 0},
    {"LineBeforeTheRequestLine", "xxxxy z\r\nGET /a HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    // A second GET line takes its target from offset 4 again, and the parse still ends.
    {"TwoGetLines", "GET /a HTTP/1.1\r\nGET /b HTTP/1.1\r\nRange: bytes=1-2\r\n\r\n", 0, "/a", true,
     1, 2, 0},
    // Only a line feed starts a line: a tab or raw high bytes stay inside theirs. A run of
    // control bytes at the very start is skipped.
    {"ControlBytesDoNotSplitLines",
     "\r\n\r\nX\tRange: bytes=1-2\x80\x81"
     "Connection: close\r\n",
     1, kNoPath, false, 0, 0, 0},
    {"ControlBytesInsideAHeaderLine",
     "GET /a HTTP/1.1\r\nZ\tC\x80\x81"
     "Connection: close\r\n\r\n",
     0, "/a", false, 0, 0, 0},
    {"BareCarriageReturnDoesNotStartALine",
     "GET /a HTTP/1.1\r\nX: a\rRange: bytes=0-1\r\nConnection: close\r\n\r\n", 0, "/a", false, 0, 0,
     1},
    // The head ends at its empty line: what follows belongs to another request.
    {"NothingAfterTheEmptyLine", "GET /a HTTP/1.1\r\n\r\nRange: bytes=0-1\r\n\r\n", 0, "/a", false,
     0, 0, 0},
    {"NothingAfterABareEmptyLine", "GET /a HTTP/1.1\nHost: x\n\nRange: bytes=0-1\n\n", 0, "/a",
     false, 0, 0, 0},
    // Heads cut short: every scan stops at the end of the head.
    {"CutInTheTarget", "GET 12", 1, kNoPath, false, 0, 0, 0},
    {"CutInAToken", "GET /a HTTP/1.1\r\nConnection: keep-aliv", 0, "/a", false, 0, 0, 0},
    {"CutInAHeaderName", "GET /a HTTP/1.1\r\nRang", 0, "/a", false, 0, 0, 0},
    {"CutInTheUnit", "GET /a HTTP/1.1\r\nRange: byt", 1, "/a", false, 0, 0, 0},
    {"CutInTheStart", "GET /a HTTP/1.1\r\nRange: bytes=12", 1, "/a", false, 0, 0, 0},
    {"CutAfterTheDash", "GET /a HTTP/1.1\r\nRange: bytes=12-", 0, "/a", true, 12, kNone, 0},
    {"CutAfterTheEquals", "GET /a HTTP/1.1\r\nRange: bytes=", 1, "/a", false, 0, 0, 0},
};
INSTANTIATE_TEST_SUITE_P(RequestLine, ParseRequestTable, ::testing::ValuesIn(kRequestLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Range headers.
const ParseCase kRangeCases[] = {
    {"Explicit", "GET /a HTTP/1.1\r\nRange: bytes=0-499\r\n\r\n", 0, "/a", true, 0, 499, 0},
    {"OpenEnded", "GET /a HTTP/1.1\r\nRange: bytes=500-\r\n\r\n", 0, "/a", true, 500, kNone, 0},
    {"Suffix", "GET /a HTTP/1.1\r\nRange: bytes=-500\r\n\r\n", 0, "/a", true, kNone, 500, 0},
    {"NeitherNumber", "GET /a HTTP/1.1\r\nRange: bytes=-\r\n\r\n", 1, "/a", true, kNone, kNone, 0},
    {"SuffixZero", "GET /a HTTP/1.1\r\nRange: bytes=-0\r\n\r\n", 0, "/a", true, kNone, 0, 0},
    {"TwoRangesKeepFirstStartOnly", "GET /a HTTP/1.1\r\nRange: bytes=0-99,200-299\r\n\r\n", 0, "/a",
     true, 0, kNone, 0},
    {"TrailingBlank", "GET /a HTTP/1.1\r\nRange: bytes=0-499 \r\n\r\n", 0, "/a", true, 0, kNone, 0},
    {"EndAtTerminator", "GET /a HTTP/1.1\r\nRange: bytes=3-7", 0, "/a", true, 3, 7, 0},
    {"EndBeforeByte0E", "GET /a HTTP/1.1\r\nRange: bytes=3-7\x0e\r\n\r\n", 0, "/a", true, 3, 7, 0},
    {"EndBeforeByte0F", "GET /a HTTP/1.1\r\nRange: bytes=3-7\x0f\r\n\r\n", 0, "/a", true, 3, kNone,
     0},
    {"EndBeforeHighByte", "GET /a HTTP/1.1\r\nRange: bytes=3-7\xC3\r\n\r\n", 0, "/a", true, 3, 7,
     0},
    {"NoBlankAfterColon", "GET /a HTTP/1.1\r\nRange:bytes=0-1\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"TwoBlanksAfterColon", "GET /a HTTP/1.1\r\nRange:  bytes=0-1\r\n\r\n", 1, "/a", false, 0, 0,
     0},
    {"OtherUnit", "GET /a HTTP/1.1\r\nRange: items=0-1\r\n\r\n", 1, "/a", false, 0, 0, 0},
    {"NoEquals", "GET /a HTTP/1.1\r\nRange: bytes 0-1\r\n\r\n", 1, "/a", false, 0, 0, 0},
    {"LetterForStart", "GET /a HTTP/1.1\r\nRange: bytes=x-1\r\n\r\n", 1, "/a", false, 0, 0, 0},
    {"NoDash", "GET /a HTTP/1.1\r\nRange: bytes=5\r\n\r\n", 1, "/a", false, 0, 0, 0},
    {"LowerCaseHeaderAndUnit", "GET /a HTTP/1.1\r\nrange: BYTES=1-2\r\n\r\n", 0, "/a", true, 1, 2,
     0},
    {"UnitPrefixMatch", "GET /a HTTP/1.1\r\nRange: bytesx=1-2\r\n\r\n", 0, "/a", true, 1, 2, 0},
    {"StartAfterEndKeptForWriter", "GET /a HTTP/1.1\r\nRange: bytes=5-3\r\n\r\n", 0, "/a", true, 5,
     3, 0},
    {"LeadingZeros", "GET /a HTTP/1.1\r\nRange: bytes=000100-0000200\r\n\r\n", 0, "/a", true, 100,
     200, 0},
    {"LaterRangeWins", "GET /a HTTP/1.1\r\nRange: bytes=1-2\r\nRange: bytes=7-\r\n\r\n", 0, "/a",
     true, 7, kNone, 0},
    {"RangeLineBeforeGet", "Range: bytes=1-2\r\nGET /a HTTP/1.1\r\n\r\n", 1, kNoPath, false, 0, 0,
     0},
    {"RangeWithoutGet", "Range: bytes=1-2\r\n\r\n", 1, kNoPath, false, 0, 0, 0},
    // A header begins only after a line feed: what a value holds stays in it.
    {"TabStaysInItsLine", "GET /a HTTP/1.1\r\nX-Note: a\tRange: bytes=4-5\r\n\r\n", 0, "/a", false,
     0, 0, 0},
    {"ZeroByteStaysInItsLine", "GET /a HTTP/1.1\r\n\0Range: bytes=4-5\r\n\r\n"sv, 0, "/a", false, 0,
     0, 0},
    {"HighByteStaysInItsLine", "GET /a HTTP/1.1\r\nX: \xE9Range: bytes=4-5\r\n\r\n", 0, "/a", false,
     0, 0, 0},
    {"RangeAfterAValueWithATab", "GET /a HTTP/1.1\r\nX-Note: a\tb\r\nRange: bytes=4-5\r\n\r\n", 0,
     "/a", true, 4, 5, 0},
    // Numbers are 64-bit; one that does not fit makes the request bad.
    {"Beyond32Bits", "GET /a HTTP/1.1\r\nRange: bytes=4294967296-4294967300\r\n\r\n", 0, "/a", true,
     4294967296LL, 4294967300LL, 0},
    {"Int64Max", "GET /a HTTP/1.1\r\nRange: bytes=9223372036854775807-\r\n\r\n", 0, "/a", true,
     9223372036854775807LL, kNone, 0},
    {"StartOverflows", "GET /a HTTP/1.1\r\nRange: bytes=9223372036854775808-\r\n\r\n", 1, "/a",
     false, 0, 0, 0},
    {"EndOverflows", "GET /a HTTP/1.1\r\nRange: bytes=0-9223372036854775808\r\n\r\n", 1, "/a",
     false, 0, 0, 0},
    {"SuffixOverflows", "GET /a HTTP/1.1\r\nRange: bytes=-99999999999999999999\r\n\r\n", 1, "/a",
     false, 0, 0, 0},
    {"IgnoredEndMayBeHuge", "GET /a HTTP/1.1\r\nRange: bytes=0-99999999999999999999,1\r\n\r\n", 0,
     "/a", true, 0, kNone, 0},
};
INSTANTIATE_TEST_SUITE_P(Range, ParseRequestTable, ::testing::ValuesIn(kRangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Connection headers.
const ParseCase kConnectionCases[] = {
    {"KeepAlive", "GET /a HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", 0, "/a", false, 0, 0, 2},
    {"KeepAliveMixedCase", "GET /a HTTP/1.1\r\nconnection: KeEp-AlIvE\r\n\r\n", 0, "/a", false, 0,
     0, 2},
    {"Close", "GET /a HTTP/1.1\r\nConnection: close\r\n\r\n", 0, "/a", false, 0, 0, 1},
    {"ClosedIsPrefixMatch", "GET /a HTTP/1.1\r\nConnection: closed\r\n\r\n", 0, "/a", false, 0, 0,
     1},
    {"Upgrade", "GET /a HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"NoBlankAfterColon", "GET /a HTTP/1.1\r\nConnection:close\r\n\r\n", 0, "/a", false, 0, 0, 0},
    {"LaterWins", "GET /a HTTP/1.1\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", 0, "/a",
     false, 0, 0, 2},
    {"UnknownLaterKeepsEarlier", "GET /a HTTP/1.1\r\nConnection: close\r\nConnection: x\r\n\r\n", 0,
     "/a", false, 0, 0, 1},
    {"NoHeader", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n", 0, "/a", false, 0, 0, 0},
};
INSTANTIATE_TEST_SUITE_P(Connection, ParseRequestTable, ::testing::ValuesIn(kConnectionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// User-Agent headers: only whether they name a link preview is kept.
const ParseCase kUserAgentCases[] = {
    {"Preview", "GET /a HTTP/1.1\r\nUser-Agent: Slackbot-LinkExpanding 1.0\r\n\r\n", 0, "/a", false,
     0, 0, 0, true},
    {"Browser",
     "GET /a HTTP/1.1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) Firefox/125.0\r\n\r\n", 0,
     "/a", false, 0, 0, 0, false},
    {"NameInAnyCase", "GET /a HTTP/1.1\r\nuser-AGENT: TelegramBot (like TwitterBot)\r\n\r\n", 0,
     "/a", false, 0, 0, 0, true},
    {"NoBlankAfterColon", "GET /a HTTP/1.1\r\nUser-Agent:Twitterbot/1.0\r\n\r\n", 0, "/a", false, 0,
     0, 0, true},
    {"TabAfterColon", "GET /a HTTP/1.1\r\nUser-Agent:\t Twitterbot/1.0\r\n\r\n", 0, "/a", false, 0,
     0, 0, true},
    {"TokenOnTheNextLineOnly",
     "GET /a HTTP/1.1\r\nUser-Agent: curl/8.5.0\r\nX-Note: Twitterbot/1.0\r\n\r\n", 0, "/a", false,
     0, 0, 0, false},
    {"EitherOfTwo",
     "GET /a HTTP/1.1\r\nUser-Agent: Twitterbot/1.0\r\nUser-Agent: curl/8.5.0\r\n\r\n", 0, "/a",
     false, 0, 0, 0, true},
    {"EmptyValueAtTheEnd", "GET /a HTTP/1.1\r\nUser-Agent:", 0, "/a", false, 0, 0, 0, false},
    {"WithRangeAndConnection",
     "GET /a HTTP/1.1\r\nRange: bytes=0-9\r\nUser-Agent: WhatsApp/2.23.20.0 A\r\nConnection: "
     "close\r\n\r\n",
     0, "/a", true, 0, 9, 1, true},
};
INSTANTIATE_TEST_SUITE_P(UserAgent, ParseRequestTable, ::testing::ValuesIn(kUserAgentCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The method and the conditional headers. nullptr: no such header (or no method line).
struct ConditionalCase {
  const char* name;
  std::string_view head;
  int bad;
  const char* method;  // "GET" or "HEAD"
  const char* path;
  const char* ifRange;
  const char* ifNoneMatch;
  const char* ifModifiedSince;
  const char* ifMatch = nullptr;
  const char* ifUnmodifiedSince = nullptr;
};

void PrintTo(const ConditionalCase& c, std::ostream* os) { *os << c.name; }

class ConditionalHeaderTable : public ::testing::TestWithParam<ConditionalCase> {};

std::optional<std::string> Text(const char* value) {
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

TEST_P(ConditionalHeaderTable, FillsFields) {
  const ConditionalCase& c = GetParam();
  const Parsed parsed = Parse(c.head);
  EXPECT_EQ(parsed.request.badRequest, c.bad != 0);
  EXPECT_EQ(parsed.request.method,
            std::string(c.method) == "HEAD" ? RequestMethod::Head : RequestMethod::Get);
  EXPECT_EQ(parsed.request.path, Text(c.path));
  EXPECT_EQ(parsed.request.ifRange, Text(c.ifRange));
  EXPECT_EQ(parsed.request.ifNoneMatch, Text(c.ifNoneMatch));
  EXPECT_EQ(parsed.request.ifModifiedSince, Text(c.ifModifiedSince));
  EXPECT_EQ(parsed.request.ifMatch, Text(c.ifMatch));
  EXPECT_EQ(parsed.request.ifUnmodifiedSince, Text(c.ifUnmodifiedSince));
  EXPECT_TRUE(parsed.bufferUnchanged);
  // The same without the terminator.
  const Request again = ParseUnterminated(c.head);
  EXPECT_EQ(again.method, parsed.request.method);
  EXPECT_EQ(again.path, parsed.request.path);
  EXPECT_EQ(again.ifRange, parsed.request.ifRange);
  EXPECT_EQ(again.ifNoneMatch, parsed.request.ifNoneMatch);
  EXPECT_EQ(again.ifModifiedSince, parsed.request.ifModifiedSince);
  EXPECT_EQ(again.ifMatch, parsed.request.ifMatch);
  EXPECT_EQ(again.ifUnmodifiedSince, parsed.request.ifUnmodifiedSince);
}

const ConditionalCase kConditionalCases[] = {
    {"HeadTakesItsTargetAfterTheLongerToken", "HEAD /a.bin HTTP/1.1\r\n\r\n", 0, "HEAD", "/a.bin",
     nullptr, nullptr, nullptr},
    {"HeadWithEmptyTarget", "HEAD  /a HTTP/1.1\r\n\r\n", 1, "HEAD", nullptr, nullptr, nullptr,
     nullptr},
    {"HeadWithoutBlank", "HEAD\r\n\r\n", 1, "GET", nullptr, nullptr, nullptr, nullptr},
    {"HeadWithBadRangeStaysHead", "HEAD /a HTTP/1.1\r\nRange: bytes=-\r\n\r\n", 1, "HEAD", "/a",
     nullptr, nullptr, nullptr},
    {"HeadersWithoutMethod", "HEADER /a HTTP/1.1\r\n\r\n", 1, "GET", nullptr, nullptr, nullptr,
     nullptr},
    // The first request line decides; later ones are not read.
    {"GetThenHead", "GET /a HTTP/1.1\r\nHEAD /b HTTP/1.1\r\n\r\n", 0, "GET", "/a", nullptr, nullptr,
     nullptr},
    {"HeadThenGet", "HEAD /a HTTP/1.1\r\nGET /b HTTP/1.1\r\n\r\n", 0, "HEAD", "/a", nullptr,
     nullptr, nullptr},
    {"AllThree",
     "GET /a HTTP/1.1\r\nIf-Range: \"x\"\r\nIf-None-Match: W/\"y\", \"z\"\r\n"
     "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
     0, "GET", "/a", "\"x\"", "W/\"y\", \"z\"", "Sun, 06 Nov 1994 08:49:37 GMT"},
    {"AnyLetterCase",
     "GET /a HTTP/1.1\r\nif-range: 1\r\nIF-NONE-MATCH: 2\r\nIf-MoDiFiEd-SiNcE: 3\r\n\r\n", 0, "GET",
     "/a", "1", "2", "3"},
    {"NoBlankAfterColon", "GET /a HTTP/1.1\r\nIf-Range:\"x\"\r\n\r\n", 0, "GET", "/a", "\"x\"",
     nullptr, nullptr},
    {"BlanksAroundTheValue", "GET /a HTTP/1.1\r\nIf-Range:   \"x\"   \r\n\r\n", 0, "GET", "/a",
     "\"x\"", nullptr, nullptr},
    // A header present but empty is kept as empty: an If-Range that cannot hold.
    {"EmptyValue", "GET /a HTTP/1.1\r\nIf-Range:\r\n\r\n", 0, "GET", "/a", "", nullptr, nullptr},
    {"TabStaysInTheValue", "GET /a HTTP/1.1\r\nIf-Range: \"x\tyz\"\t\r\n\r\n", 0, "GET", "/a",
     "\"x\tyz\"", nullptr, nullptr},
    {"ValueAtTheEndOfTheHead", "GET /a HTTP/1.1\r\nIf-None-Match: \"x\"", 0, "GET", "/a", nullptr,
     "\"x\"", nullptr},
    {"OtherNamesAreIgnored",
     "GET /a HTTP/1.1\r\nIf-Ranges: 1\r\nX-If-Range: 2\r\nX-If-Match: 3\r\n\r\n", 0, "GET", "/a",
     nullptr, nullptr, nullptr},
    // The preconditions: If-Match is a list like If-None-Match.
    {"IfMatchAndIfUnmodifiedSince",
     "GET /a HTTP/1.1\r\nif-match: \"x\"\r\nIf-Match:\"y\"\r\n"
     "IF-UNMODIFIED-SINCE: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
     0, "GET", "/a", nullptr, nullptr, nullptr, "\"x\",\"y\"", "Sun, 06 Nov 1994 08:49:37 GMT"},
    // If-None-Match is a list: several lines make one. The other two: the later wins.
    {"IfNoneMatchLinesAddUp",
     "GET /a HTTP/1.1\r\nIf-None-Match: \"x\"\r\nIf-None-Match: \"y\"\r\n\r\n", 0, "GET", "/a",
     nullptr, "\"x\",\"y\"", nullptr},
    {"LaterIfRangeWins", "GET /a HTTP/1.1\r\nIf-Range: \"x\"\r\nIf-Range: \"y\"\r\n\r\n", 0, "GET",
     "/a", "\"y\"", nullptr, nullptr},
    // The request line comes first, or the request is bad.
    {"HeadersBeforeTheRequestLine", "If-Range: \"x\"\r\nGET /a HTTP/1.1\r\n\r\n", 1, "GET", nullptr,
     nullptr, nullptr, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Conditional, ConditionalHeaderTable,
                         ::testing::ValuesIn(kConditionalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// However many request lines a head holds, and however long its target, the target is
// decoded once: a head of thousands of "GET " lines after a long escaped target costs no
// more than one.
TEST(ParseRequestCost, TheTargetIsDecodedOnce) {
  const std::string escaped = [] {
    std::string t = "/";
    for (int i = 0; i < 10000; ++i) t += "%41";
    return t;
  }();
  std::string repeated;
  for (int i = 0; i < 6700; ++i) repeated += "GET \r\n";
  struct Case {
    const char* name;
    std::string head;
    int decodes;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"one request line", "GET /a HTTP/1.1\r\n\r\n", 1, "/a"},
      {"a long target and thousands of GET lines",
       "GET " + escaped + " HTTP/1.1\r\n" + repeated + "\r\n", 1, "/" + std::string(10000, 'A')},
      {"HEAD, then GET lines", "HEAD " + escaped + " HTTP/1.1\r\n" + repeated + "\r\n", 1,
       "/" + std::string(10000, 'A')},
      {"GET lines after a header line", "X: y\r\n" + repeated, 0, std::nullopt},
      {"no blank after the target", "GET /a\r\n" + repeated, 0, std::nullopt},
      {"no request line", "Host: x\r\n\r\n", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParseCounts counts;
    const Request request =
        ParseRequest(c.head.data(), static_cast<std::int32_t>(c.head.size()), &counts);
    EXPECT_EQ(counts.targetDecodes, c.decodes);
    EXPECT_EQ(request.path, c.path);
  }
}

}  // namespace
}  // namespace qc
