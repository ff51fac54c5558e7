// The escaping of virtual paths in every URL the program prints or copies.
#include <gtest/gtest.h>

#include "shares/share_url.h"

namespace qc {
namespace {

TEST(EscapeUrlPath, EscapesWhatCannotStandInALinkAndNothingElse) {
  struct Case {
    std::string path;
    std::string escaped;
  };
  const Case cases[] = {
      {"/report 2009.pdf", "/report%202009.pdf"},
      {"/a\"b#c%d<e>f?g", "/a%22b%23c%25d%3Ce%3Ef%3Fg"},
      {"/[x]\\y^z`{|}", "/%5Bx%5D%5Cy%5Ez%60%7B%7C%7D"},
      {std::string("/\x01\x1F\x7F", 4), "/%01%1F%7F"},
      {std::string("/a\0b", 4), "/a%00b"},
      // 8-bit bytes (UTF-8 natively, the ANSI code page on Windows) stay as they are.
      {"/\xD0\xB0\xE9.txt", "/\xD0\xB0\xE9.txt"},
      {"/a-b_c.d~e!$&'()*+,;=:@/f", "/a-b_c.d~e!$&'()*+,;=:@/f"},
      {"", ""},
      {"%20", "%2520"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(EscapeUrlPath(c.path), c.escaped);
  }
  const Share share("C:\\r.pdf", "/temp/report 2009.pdf", 0);
  EXPECT_EQ(ComposeShareUrl("localhost", 8080, share), "http://localhost:8080/temp/report%202009.pdf");
}

}  // namespace
}  // namespace qc
