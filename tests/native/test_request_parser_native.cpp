// The request parser where the native build differs: its ANSI code page is UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "http/request_parser.h"

namespace qc {
namespace {

Request Parse(std::string_view head) {
  return ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
}

// The native build's ANSI code page is UTF-8: escaped UTF-8 stays as it is. The Windows
// conversion (Cyrillic code page) is tested in the Windows-only suite.
TEST(ParseRequestNative, EscapedUtf8StaysUtf8) {
  const Request request = Parse("GET /%D0%B0.txt HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(request.badRequest);
  EXPECT_EQ(*request.path, "/\xD0\xB0.txt");
}

// A signed escape ("%-1") gives the low 8 bits of a negative value.
TEST(ParseRequestNative, EscapeWithMinus) {
  const Request request = Parse("GET /%-1x HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(request.badRequest);
  EXPECT_EQ(*request.path,
            "/\xFF"
            "x");
}

}  // namespace
}  // namespace qc
