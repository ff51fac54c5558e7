// The request parser where the native build differs: its ANSI code page is UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "http/request_parser.h"

namespace qc {
namespace {

struct Parsed {
  int result = -1;
  Request request;
};

// As the connection hands a head over: a heap block of exactly length + 1 bytes with the
// terminator last.
Parsed Parse(std::string_view head) {
  std::unique_ptr<char[]> buffer(new char[head.size() + 1]);
  std::memcpy(buffer.get(), head.data(), head.size());
  buffer[head.size()] = '\0';
  Parsed parsed;
  parsed.result = ParseRequest(buffer.get(), static_cast<std::int32_t>(head.size()), parsed.request);
  return parsed;
}

// The native build's ANSI code page is UTF-8: escaped UTF-8 stays as it is. The Windows
// conversion (Cyrillic code page) is tested in the Windows-only suite.
TEST(ParseRequestNative, EscapedUtf8StaysUtf8) {
  const Parsed parsed = Parse("GET /%D0%B0.txt HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parsed.result, 0);
  EXPECT_EQ(*parsed.request.path, "/\xD0\xB0.txt");
}

// A signed escape ("%-1") gives the low 8 bits of a negative value.
TEST(ParseRequestNative, EscapeWithMinus) {
  const Parsed parsed = Parse("GET /%-1x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(parsed.result, 0);
  EXPECT_EQ(*parsed.request.path, "/\xFF" "x");
}

}  // namespace
}  // namespace qc
