// What WriteResponse reports about its answer (the native request log prints it): the
// status sent, the body bytes that went out, and whether all it announced went out.
#include <gtest/gtest.h>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::CountingSink;

TEST(ResponseSummary, StatusAndBodyBytesOfEachKindOfAnswer) {
  tests::ScopedTempDirectory dir;
  tests::WriteFileBytes("ten.bin", std::string(10000, 'x'));
  // Three pieces and a bit: a send that fails after the first piece.
  tests::WriteFileBytes("large.bin", std::string(3 * kPieceSize + 100, 'l'));
  ShareRegistry shares;
  shares.AppendShare((dir.path() / "ten.bin").string(), "/ten.bin", 0);
  shares.AppendShare((dir.path() / "large.bin").string(), "/large.bin", 0);
  shares.AppendShare((dir.path() / "gone.bin").string(), "/gone.bin", 0);
  struct Case {
    const char* head;
    int allowedSends;  // -1: every send succeeds
    int status;
    long long bodyBytes;
    std::int64_t first = -1;  // a 206's bytes, as its Content-Range names them; -1: none
    std::int64_t last = -1;
    bool incomplete = false;  // not all it announced went out
  };
  const Case cases[] = {
      {"GET /ten.bin HTTP/1.1\r\n\r\n", -1, 200, 10000},
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=100-199\r\n\r\n", -1, 206, 100, 100, 199},
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=-1\r\n\r\n", -1, 206, 1, 9999, 9999},
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=9000-\r\n\r\n", -1, 206, 1000, 9000, 9999},
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=9990-20000\r\n\r\n", -1, 206, 10, 9990, 9999},
      // The 416 page's body: 217 bytes.
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=10000-\r\n\r\n", -1, 416, 217},
      {"GET /nothing HTTP/1.1\r\n\r\n", -1, 404, 198},
      {"GET /gone.bin HTTP/1.1\r\n\r\n", -1, 404, 198},
      {"PUT /ten.bin HTTP/1.1\r\n\r\n", -1, 400, 184},
      // The head and every whole 4096-byte block (8192 bytes, one large piece) went out,
      // then the client left before the last piece.
      {"GET /ten.bin HTTP/1.1\r\n\r\n", 2, 200, 8192, -1, -1, true},
      {"GET /nothing HTTP/1.1\r\n\r\n", 0, 404, 0, -1, -1, true},
      // The client left after the first large piece: that piece still counts.
      {"GET /large.bin HTTP/1.1\r\n\r\n", 2, 200, kPieceSize, -1, -1, true},
      {"GET /large.bin HTTP/1.1\r\nRange: bytes=100-\r\n\r\n", 3, 206, 2LL * kPieceSize, 100,
       3LL * kPieceSize + 99, true},
      {"GET /large.bin HTTP/1.1\r\n\r\n", 1, 200, 0, -1, -1, true},
      {"GET /ten.bin HTTP/1.1\r\nRange: bytes=10000-\r\n\r\n", 0, 416, 0, -1, -1, true},
      {"PUT /ten.bin HTTP/1.1\r\n\r\n", 0, 400, 0, -1, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    const std::string head = c.head;
    const Request request = ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
    CountingSink sink(c.allowedSends);
    const ResponseSummary summary = WriteResponse(request, shares, sink);
    EXPECT_EQ(summary.status, c.status);
    EXPECT_EQ(summary.bodyBytes, c.bodyBytes);
    EXPECT_EQ(summary.incomplete, c.incomplete);
    ASSERT_EQ(summary.range.has_value(), c.first != -1);
    if (summary.range) {
      EXPECT_EQ(summary.range->first, c.first);
      EXPECT_EQ(summary.range->first + summary.range->count - 1, c.last);
    }
  }
}

}  // namespace
}  // namespace qc
