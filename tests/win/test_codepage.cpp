// Escaped UTF-8 in a request target reaches the share lookup in the ANSI code page. Run
// under a Cyrillic locale (Wine: LANG=ru_RU.UTF-8 gives code page 1251).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "http/request_parser.h"
#include "platform/os_windows.h"

namespace qc {
namespace {

struct CodePageCase {
  const char* name;
  const char* target;
  const char* path;       // in code page 1251
  bool matchable = true;  // false: the path can name no share
};

class CyrillicCodePage : public ::testing::TestWithParam<CodePageCase> {
 protected:
  void SetUp() override {
    if (GetACP() != 1251) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 1251";
  }
};

TEST_P(CyrillicCodePage, TargetConvertedToAnsi) {
  std::string head = std::string("GET ") + GetParam().target + " HTTP/1.1\r\n\r\n";
  const Request request = ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
  ASSERT_FALSE(request.badRequest);
  ASSERT_TRUE(request.path.has_value());
  EXPECT_EQ(request.pathMatchable, GetParam().matchable);
  if (GetParam().matchable) {
    EXPECT_EQ(*request.path, std::string(GetParam().path));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Target, CyrillicCodePage,
    ::testing::Values(CodePageCase{"SmallA", "/%D0%B0", "/\xE0"},
                      CodePageCase{"CapitalYa", "/%D0%AF.txt", "/\xDF.txt"},
                      CodePageCase{"Yo", "/%D1%91", "/\xB8"},
                      CodePageCase{"MixedWithAscii", "/docs/%D0%BE%D1%82%D1%87%D0%B5%D1%82%20a.pdf",
                                   "/docs/\xEE\xF2\xF7\xE5\xF2 a.pdf"},
                      CodePageCase{"AsciiUnchanged", "/a%20b.txt?x=1", "/a b.txt?x=1"},
                      // A character that code page 1251 lacks names no share: as its default
                      // character it would name the share "/?".
                      CodePageCase{"NotInCodePage", "/%E4%B8%AD", nullptr, false},
                      CodePageCase{"NotUtf8", "/%D0", nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A character the code page lacks is never mapped to a look-alike it has (best fit): a
// full-width dot would otherwise serve "/small.txt" to "/small．txt". The Windows code
// pages of Europe's alphabets (1250 to 1258) hold none of these characters; East Asian
// ones hold the full-width forms.
TEST(CodePage, NoBestFitMapping) {
  const UINT codePage = GetACP();
  if (codePage < 1250 || codePage > 1258) GTEST_SKIP() << "ANSI code page is " << codePage;
  struct Case {
    const char* target;
    const char* lookAlike;
  };
  const Case cases[] = {
      {"/small%EF%BC%8Etxt", "/small.txt"},  // U+FF0E FULLWIDTH FULL STOP
      {"/%EF%BC%A1.txt", "/A.txt"},          // U+FF21 FULLWIDTH LATIN CAPITAL LETTER A
      {"/a%E2%88%95b", "/a/b"},              // U+2215 DIVISION SLASH
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string head = std::string("GET ") + c.target + " HTTP/1.1\r\n\r\n";
    const Request request = ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
    ASSERT_FALSE(request.badRequest);
    ASSERT_TRUE(request.path.has_value());
    EXPECT_FALSE(request.pathMatchable);
    EXPECT_NE(*request.path, c.lookAlike);
  }
}

}  // namespace
}  // namespace qc
