// The validators and the conditional rules, as pure functions: dates written and read,
// entity tags made and compared. The expected dates come from Python's
// email.utils.formatdate and calendar.timegm, not from this code.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "http/validators.h"

namespace qc {
namespace {

constexpr std::int64_t kRfcExample = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(FormatHttpDate, ArithmeticAcrossTheCalendar) {
  struct Case {
    std::int64_t seconds;
    const char* text;  // nullptr: no date
  };
  const Case cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {kRfcExample, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {1700000000, "Tue, 14 Nov 2023 22:13:20 GMT"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {-2208988800, "Mon, 01 Jan 1900 00:00:00 GMT"},
      {68256000, "Wed, 01 Mar 1972 00:00:00 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {951868800, "Wed, 01 Mar 2000 00:00:00 GMT"},
      {4107456000, "Sun, 28 Feb 2100 00:00:00 GMT"},
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
      {-62135596800, "Mon, 01 Jan 0001 00:00:00 GMT"},
      {-62167219200, "Sat, 01 Jan 0000 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
      // Four digits hold no other year.
      {-62167219201, nullptr},
      {253402300800, nullptr},
      {INT64_MAX, nullptr},
      {INT64_MIN, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    const std::optional<std::string> text = FormatHttpDate(c.seconds);
    if (c.text == nullptr) {
      EXPECT_FALSE(text.has_value()) << *text;
      continue;
    }
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, c.text);
    // What is written reads back.
    EXPECT_EQ(ParseHttpDate(*text, 0), c.seconds);
  }
}

TEST(ParseHttpDate, TheThreeFormsAndNothingElse) {
  constexpr std::int64_t kNow = 1780272000;  // 2026-06-01
  struct Case {
    const char* text;
    std::int64_t seconds;  // -1: not a date
  };
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", kRfcExample},
      {"Sunday, 06-Nov-94 08:49:37 GMT", kRfcExample},
      {"Sun Nov  6 08:49:37 1994", kRfcExample},
      {"Wed Nov 16 08:49:37 1994", kRfcExample + 10 * 86400},
      {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
      // A leap second is a valid time of day.
      {"Sun, 06 Nov 1994 08:49:60 GMT", kRfcExample + 23},
      // Two-digit years: at most 50 years ahead of now, else the century before.
      {"Friday, 06-Nov-76 08:49:37 GMT", 3371878177},
      {"Sunday, 06-Nov-77 08:49:37 GMT", 247654177},
      // The weekday is not checked against the date.
      {"Mon, 06 Nov 1994 08:49:37 GMT", kRfcExample},
      {"", -1},
      {"784111777", -1},
      {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
      {"Sun, 06 Nov 1994 08:49:37 gmt", -1},
      {"sun, 06 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 06 nov 1994 08:49:37 GMT", -1},
      {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 94 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 8:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT ", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT, Mon, 07 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 19a4 08:49:37 GMT", -1},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", -1},
      {"Sun, 31 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 00 Nov 1994 08:49:37 GMT", -1},
      {"Thu, 29 Feb 1900 00:00:00 GMT", -1},
      {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
      {"Sun, 06 Nov 1994 08:60:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49:61 GMT", -1},
      {"Sun, 06 Nov 1994 08-49-37 GMT", -1},
      {"Sun Nov 6 08:49:37 1994", -1},
      {"Sun Nov  6 08:49:37 94", -1},
      {"Sunday, 06-Nov-1994 08:49:37 GMT", -1},
      {"Sun, 06-Nov-94 08:49:37 GMT", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<std::int64_t> seconds = ParseHttpDate(c.text, kNow);
    if (c.seconds == -1) {
      EXPECT_FALSE(seconds.has_value()) << *seconds;
    } else {
      EXPECT_EQ(seconds, c.seconds);
    }
  }
}

const platform::FileVersion kVersion{1000, kRfcExample, 123456789, 0x803, 0x1a2b};

TEST(ValidatorsOf, TagAndDateOfOneVersion) {
  const Validators v = ValidatorsOf(kVersion);
  EXPECT_EQ(v.entityTag, "\"3e8-2ebc98a1.75bcd15-803-1a2b\"");
  EXPECT_EQ(v.lastModified, "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(v.modifiedSeconds, kRfcExample);
  // A time before 1970 carries no sign into the tag; a year past 9999 has no date.
  const Validators old = ValidatorsOf({0, -1, 0, 0, 0});
  EXPECT_EQ(old.entityTag, "\"0-ffffffffffffffff.0-0-0\"");
  EXPECT_EQ(old.lastModified, "Wed, 31 Dec 1969 23:59:59 GMT");
  EXPECT_FALSE(ValidatorsOf({0, 253402300800, 0, 0, 0}).lastModified.has_value());
  // A change time, where the system keeps one, is the tag's last field.
  EXPECT_EQ(
      ValidatorsOf({1000, kRfcExample, 123456789, 0x803, 0x1a2b, kRfcExample + 1, 5}).entityTag,
      "\"3e8-2ebc98a1.75bcd15-803-1a2b-2ebc98a2.5\"");
}

TEST(ValidatorsOf, EveryPartOfTheVersionChangesTheTag) {
  struct Case {
    const char* name;
    platform::FileVersion version;
  };
  const Case cases[] = {
      {"as it was", kVersion},
      {"one byte longer", {1001, kRfcExample, 123456789, 0x803, 0x1a2b}},
      {"a second later", {1000, kRfcExample + 1, 123456789, 0x803, 0x1a2b}},
      {"100 ns later", {1000, kRfcExample, 123456889, 0x803, 0x1a2b}},
      {"another volume", {1000, kRfcExample, 123456789, 0x804, 0x1a2b}},
      {"another file", {1000, kRfcExample, 123456789, 0x803, 0x1a2c}},
      // A rewrite that set the modification time back still changed the change time.
      {"changed later", {1000, kRfcExample, 123456789, 0x803, 0x1a2b, kRfcExample + 7, 1}},
      {"changed 1 ns later", {1000, kRfcExample, 123456789, 0x803, 0x1a2b, kRfcExample + 7, 2}},
      // Fields that run into each other must not give the same text.
      {"digits moved between fields", {0x3e82, 0xebc98a1, 123456789, 0x803, 0x1a2b}},
  };
  std::set<std::string> tags;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = ValidatorsOf(c.version).entityTag;
    EXPECT_EQ(tag.front(), '"');
    EXPECT_EQ(tag.back(), '"');
    EXPECT_EQ(tag.find('"', 1), tag.size() - 1);
    EXPECT_TRUE(tags.insert(tag).second) << tag;
  }
}

TEST(AnyEntityTagMatches, ListsStarsAndWeakness) {
  const std::string tag = "\"abc\"";
  struct Case {
    const char* list;
    bool matches;
  };
  const Case cases[] = {
      {"\"abc\"", true},
      {"W/\"abc\"", true},
      {"*", true},
      {"  *  ", true},
      {"\"x\", \"abc\"", true},
      {"\"x\",W/\"abc\"", true},
      {", ,\"abc\",", true},
      {"\"x\",\"y\"", false},
      {"\"abd\"", false},
      {"\"ABC\"", false},
      {"", false},
      {"abc", false},
      {"\"abc", false},
      {"w/\"abc\"", false},
      {"\"x\" \"abc\"", false},
      {"\"abc\" x", false},
      {"*, \"abc\"", false},
      {"**", false},
      // A list that goes wrong after a match still matches nothing.
      {"\"abc\", junk", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(AnyEntityTagMatches(c.list, tag), c.matches);
  }
  // Strongly (If-Match), a weak tag never matches, even our own.
  EXPECT_TRUE(AnyEntityTagMatches("\"x\", \"abc\"", tag, TagComparison::Strong));
  EXPECT_TRUE(AnyEntityTagMatches("*", tag, TagComparison::Strong));
  EXPECT_FALSE(AnyEntityTagMatches("W/\"abc\"", tag, TagComparison::Strong));
  EXPECT_FALSE(AnyEntityTagMatches("\"x\",W/\"abc\"", tag, TagComparison::Strong));
  EXPECT_TRUE(AnyEntityTagMatches("W/\"abc\", \"abc\"", tag, TagComparison::Strong));
}

// A tag holds only when it is our strong one. A date holds only when the file's last change
// lies at least a second before it: within the second of a change there may be two
// versions, so our own Last-Modified text read back does not hold by itself.
TEST(IfRangeHolds, OurStrongTagOrADateASecondAfterTheLastChange) {
  constexpr std::int64_t kNow = 1780272000;
  // Modified 0.123456789 s into kRfcExample's second.
  const Validators v = ValidatorsOf(kVersion);
  struct Case {
    std::string value;
    bool holds;
  };
  const Case cases[] = {
      {v.entityTag, true},
      {"W/" + v.entityTag, false},
      {"\"3e8-2ebc98a1.75bcd15-803-1a2c\"", false},
      {v.entityTag.substr(0, v.entityTag.size() - 1), false},
      {v.entityTag + ", \"x\"", false},
      {*v.lastModified, false},
      {"Sun, 06 Nov 1994 08:49:38 GMT", false},  // 0.88 s after the change
      {"Sun, 06 Nov 1994 08:49:39 GMT", true},   // 1.88 s after
      {"Sunday, 06-Nov-94 08:49:39 GMT", true},
      {"Sun Nov  6 08:49:39 1994", true},
      {"Mon, 07 Nov 1994 08:49:37 GMT", true},
      {"Sun, 06 Nov 1994 08:49:36 GMT", false},
      {"", false},
      {"*", false},
      {"garbage", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(IfRangeHolds(c.value, v, kNow), c.holds);
  }
  // Exactly one second: a change at the start of a second.
  const Validators whole = ValidatorsOf({1000, kRfcExample, 0, 1, 1});
  EXPECT_TRUE(IfRangeHolds("Sun, 06 Nov 1994 08:49:38 GMT", whole, kNow));
  EXPECT_FALSE(IfRangeHolds("Sun, 06 Nov 1994 08:49:37 GMT", whole, kNow));
  // The change time counts when it is later than the modification time.
  const Validators setBack = ValidatorsOf({1000, kRfcExample, 0, 1, 1, kRfcExample + 60, 0});
  EXPECT_FALSE(IfRangeHolds("Sun, 06 Nov 1994 08:49:39 GMT", setBack, kNow));
  EXPECT_TRUE(IfRangeHolds("Sun, 06 Nov 1994 08:50:38 GMT", setBack, kNow));
  // A time no date reaches.
  const Validators undated = ValidatorsOf({1000, 253402300800, 0, 1, 1});
  EXPECT_FALSE(IfRangeHolds("Fri, 31 Dec 9999 23:59:59 GMT", undated, kNow));
  EXPECT_TRUE(IfRangeHolds(undated.entityTag, undated, kNow));
}

// If-Match decides when present (strongly; "*" holds for any file), else
// If-Unmodified-Since (a date that cannot be read is ignored).
TEST(PreconditionFails, IfMatchBeforeIfUnmodifiedSince) {
  // Modified half a second after kRfcExample: its date is kRfcExample.
  const Validators v = ValidatorsOf({1000, kRfcExample, 500000000, 1, 2});
  const std::string tag = v.entityTag;
  const std::string weak = "W/" + tag;
  struct Case {
    const char* name;
    const char* ifMatch;  // nullptr: no such header
    const char* ifUnmodifiedSince;
    bool fails;
  };
  const Case cases[] = {
      {"no condition", nullptr, nullptr, false},
      {"our tag", tag.c_str(), nullptr, false},
      {"star", "*", nullptr, false},
      {"another tag", "\"x\"", nullptr, true},
      {"our tag, weak", weak.c_str(), nullptr, true},
      {"not a list", "junk", nullptr, true},
      {"our tag beats a date it would fail", tag.c_str(), "Sat, 05 Nov 1994 08:49:37 GMT", false},
      {"another tag fails whatever the date", "\"x\"", "Mon, 07 Nov 1994 08:49:37 GMT", true},
      {"the date we send", nullptr, "Sun, 06 Nov 1994 08:49:37 GMT", false},
      {"a later date", nullptr, "Mon, 07 Nov 1994 08:49:37 GMT", false},
      {"a second before", nullptr, "Sun, 06 Nov 1994 08:49:36 GMT", true},
      {"in the RFC 850 form", nullptr, "Sunday, 06-Nov-94 08:49:36 GMT", true},
      {"not a date", nullptr, "yesterday", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request;
    if (c.ifMatch != nullptr) request.ifMatch = c.ifMatch;
    if (c.ifUnmodifiedSince != nullptr) request.ifUnmodifiedSince = c.ifUnmodifiedSince;
    EXPECT_EQ(PreconditionFails(request, v, 1780272000), c.fails);
  }
}

TEST(IsNotModified, IfNoneMatchDecidesBeforeTheDate) {
  // Modified half a second after kRfcExample: its date is kRfcExample.
  const Validators v = ValidatorsOf({1000, kRfcExample, 500000000, 1, 2});
  const char* const kDate = "Sun, 06 Nov 1994 08:49:37 GMT";
  const char* const kSecondBefore = "Sun, 06 Nov 1994 08:49:36 GMT";
  const char* const kLater = "Mon, 07 Nov 1994 08:49:37 GMT";
  struct Case {
    const char* name;
    const char* ifNoneMatch;  // nullptr: no such header
    const char* ifModifiedSince;
    bool notModified;
  };
  const std::string tag = v.entityTag;
  const Case cases[] = {
      {"no condition", nullptr, nullptr, false},
      {"our tag", tag.c_str(), nullptr, true},
      {"star", "*", nullptr, true},
      {"another tag", "\"x\"", nullptr, false},
      {"another tag beats a date that would match", "\"x\"", kLater, false},
      {"our tag beats a date that would not match", tag.c_str(), kSecondBefore, true},
      {"the date we send", nullptr, kDate, true},
      {"a later date", nullptr, kLater, true},
      {"a second before", nullptr, kSecondBefore, false},
      {"the date in the RFC 850 form", nullptr, "Sunday, 06-Nov-94 08:49:37 GMT", true},
      {"the date in asctime's form", nullptr, "Sun Nov  6 08:49:37 1994", true},
      {"not a date", nullptr, "yesterday", false},
      {"an impossible date", nullptr, "Sun, 31 Nov 1994 08:49:37 GMT", false},
      {"two dates", nullptr, "Sun, 06 Nov 1994 08:49:37 GMT, Sun, 06 Nov 1994 08:49:37 GMT", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request;
    if (c.ifNoneMatch != nullptr) request.ifNoneMatch = c.ifNoneMatch;
    if (c.ifModifiedSince != nullptr) request.ifModifiedSince = c.ifModifiedSince;
    EXPECT_EQ(IsNotModified(request, v, 1780272000), c.notModified);
  }
}

}  // namespace
}  // namespace qc
