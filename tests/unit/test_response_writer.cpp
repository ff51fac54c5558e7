#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "http/validators.h"
#include "platform/file.h"
#include "shares/share_registry.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

using namespace tests::wire;
using tests::CapturingSink;
using tests::CountingSink;

class ResponseWriterTest : public ::testing::Test {
 protected:
  std::string MakeFile(const std::string& name, const std::string& bytes) {
    const auto path = temp_.path() / name;
    tests::WriteFileBytes(path, bytes);
    return path.string();
  }
  CapturingSink Get(const std::string& path, const std::string& range = "", int mode = 0) {
    CapturingSink sink;
    Request request = ParsedRequest(path, range, mode);
    WriteResponse(request, shares_, sink);
    return sink;
  }

  tests::ScopedTempDirectory temp_;
  ShareRegistry shares_;
};

// The body's pieces: the last holds the 1 to kLastPieceSize bytes left after whole
// kLastPieceSize blocks; those before it are whole blocks, at most kPieceSize together per
// send. A body that is a last piece alone leaves in the header block's send.
void ExpectPieceSizes(const CapturingSink& sink, const std::string& head, std::int64_t bodyLength) {
  ASSERT_FALSE(sink.sends.empty());
  ASSERT_EQ(sink.sends[0].compare(0, head.size(), head), 0);
  std::vector<std::int64_t> pieces;
  if (sink.sends[0].size() > head.size()) {
    pieces.push_back(static_cast<std::int64_t>(sink.sends[0].size() - head.size()));
  }
  for (std::size_t i = 1; i < sink.sends.size(); ++i) {
    pieces.push_back(static_cast<std::int64_t>(sink.sends[i].size()));
  }
  const std::int64_t lastLength = bodyLength > 0 ? (bodyLength - 1) % kLastPieceSize + 1 : 0;
  if (bodyLength == 0) {
    EXPECT_TRUE(pieces.empty());
    return;
  }
  ASSERT_FALSE(pieces.empty());
  EXPECT_EQ(pieces.back(), lastLength);
  EXPECT_EQ(sink.sends[0].size() > head.size(), bodyLength == lastLength);  // one send
  std::int64_t total = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    total += pieces[i];
    if (i + 1 < pieces.size()) {
      EXPECT_EQ(pieces[i] % kLastPieceSize, 0) << "piece " << i;
      EXPECT_LE(pieces[i], kPieceSize) << "piece " << i;
    }
  }
  EXPECT_EQ(total, bodyLength);
}

TEST_F(ResponseWriterTest, PagesByteForByte) {
  CapturingSink notFound;
  WriteResponse(ParsedRequest("/nothing-shared", ""), shares_, notFound);
  EXPECT_EQ(notFound.All(), kNotFoundPage);
  CapturingSink badRequest;
  SendBadRequestPage(badRequest);
  EXPECT_EQ(badRequest.All(), kBadRequestPage);
  // The numbers in the heads are the bodies' exact lengths.
  EXPECT_EQ(kNotFoundPage.size() - kNotFoundPage.find("<html>"), 198u);
  EXPECT_EQ(kBadRequestPage.size() - kBadRequestPage.find("<html>"), 184u);
}

TEST_F(ResponseWriterTest, BadRequestGetsThe400PageWithoutLookingUp) {
  const std::string file = MakeFile("a.txt", "abc");
  const SharePtr share = shares_.AppendShare(file, "/a.txt", kOneShot);
  Request request = ParsedRequest("/a.txt", "-");  // neither number: bad
  ASSERT_TRUE(request.badRequest);
  CapturingSink sink;
  WriteResponse(request, shares_, sink);
  EXPECT_EQ(sink.All(), kBadRequestPage);
  EXPECT_EQ(share->flags.load(), static_cast<std::uint32_t>(kOneShot));
}

struct NotFoundCase {
  const char* name;
  const char* requestPath;
  std::uint32_t flags;
  bool fileExists;
  bool isDirectory;
};

class NotFoundTable : public ResponseWriterTest,
                      public ::testing::WithParamInterface<NotFoundCase> {};

TEST_P(NotFoundTable, Gets404Page) {
  const NotFoundCase& c = GetParam();
  std::string physical = (temp_.path() / "A.txt").string();
  if (c.fileExists) physical = MakeFile("A.txt", "content");
  if (c.isDirectory) {
    std::filesystem::create_directory(temp_.path() / "dir");
    physical = (temp_.path() / "dir").string();
  }
  shares_.AppendShare(physical, "/A.txt", c.flags);
  EXPECT_EQ(Get(c.requestPath).All(), kNotFoundPage);
}

const NotFoundCase kNotFoundCases[] = {
    {"NotShared", "/b.txt", 0, true, false},
    {"CaseDiffers", "/a.txt", 0, true, false},
    {"QueryPartKept", "/A.txt?x=1", 0, true, false},
    {"Withdrawn", "/A.txt", kWithdrawn, true, false},
    {"WithdrawnOneShot", "/A.txt", kOneShot | kWithdrawn, true, false},
    {"FileMissing", "/A.txt", 0, false, false},
    {"Directory", "/A.txt", 0, false, true},
};
INSTANTIATE_TEST_SUITE_P(Writer, NotFoundTable, ::testing::ValuesIn(kNotFoundCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResponseWriterTest, OldestShareOfAPathIsServed) {
  const std::string one = MakeFile("one", "first");
  shares_.AppendShare(one, "/f", 0);
  shares_.AppendShare(MakeFile("two", "second"), "/f", 0);
  EXPECT_EQ(Get("/f").All(), Head200(5, ValidatorLines(one)) + "first");
}

// Range forms against files of several sizes around the piece size.
struct RangeCase {
  std::int64_t size;
  const char* range;  // "" for none
  int status;         // 200, 206 or 416
  std::int64_t first;
  std::int64_t last;
  bool withdraws;  // a OneShot share is withdrawn by this answer
};

void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << "size " << c.size << " range '" << c.range << "'";
}

class RangeTable : public ResponseWriterTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(RangeTable, AnswersAndOneShot) {
  const RangeCase& c = GetParam();
  const std::string content = Content(c.size);
  const std::string file = MakeFile("f.bin", content);
  // Bits other than the two known ones are kept when the share is withdrawn.
  constexpr std::uint32_t kOtherBit = 0x100;
  const SharePtr oneShot = shares_.AppendShare(file, "/f.bin", kOneShot | kOtherBit);
  const SharePtr plain = shares_.AppendShare(file, "/plain.bin", 0);
  const std::string v = ValidatorLines(file);

  for (const char* path : {"/f.bin", "/plain.bin"}) {
    SCOPED_TRACE(path);
    const CapturingSink sink = Get(path, c.range);
    if (c.status == 416) {
      EXPECT_EQ(sink.All(), RangeNotSatisfiable(c.size));
      EXPECT_EQ(sink.calls, 1);
      continue;
    }
    const std::string head =
        c.status == 200 ? Head200(c.size, v) : Head206(c.first, c.last, c.size, v);
    const std::int64_t length = c.last - c.first + 1;
    const std::string body = length > 0 ? content.substr(static_cast<std::size_t>(c.first),
                                                         static_cast<std::size_t>(length))
                                        : std::string();
    EXPECT_EQ(sink.All(), head + body);
    ExpectPieceSizes(sink, head, length);
  }

  EXPECT_EQ(plain->flags.load(), 0u);
  const std::uint32_t expected =
      c.withdraws ? (kOneShot | kOtherBit | kWithdrawn) : (kOneShot | kOtherBit);
  EXPECT_EQ(oneShot->flags.load(), expected);
  // A withdrawn share is gone for every later request; the plain one stays served.
  if (c.withdraws) {
    EXPECT_EQ(Get("/f.bin").All(), kNotFoundPage);
  } else {
    EXPECT_EQ(Get("/f.bin").sends.at(0).substr(0, Head200(c.size, v).size()), Head200(c.size, v));
  }
  EXPECT_EQ(Get("/plain.bin").sends.at(0).substr(0, Head200(c.size, v).size()), Head200(c.size, v));
}

// A range that names no byte of the file is unsatisfiable (416): a start at or past the
// end, a start after the end asked for, a suffix of no bytes, any range of an empty file.
// An end past the file, or a suffix longer than it, reaches the last byte.
const RangeCase kWriterRangeCases[] = {
    // Empty file.
    {0, "", 200, 0, -1, true},
    {0, "0-", 416, 0, 0, false},
    {0, "-1", 416, 0, 0, false},
    {0, "-0", 416, 0, 0, false},
    {0, "0-0", 416, 0, 0, false},
    // One byte.
    {1, "", 200, 0, 0, true},
    {1, "0-0", 206, 0, 0, true},
    {1, "0-", 206, 0, 0, true},
    {1, "-1", 206, 0, 0, true},
    {1, "-2", 206, 0, 0, true},
    {1, "1-", 416, 0, 0, false},
    {1, "0-5", 206, 0, 0, true},
    {1, "1-1", 416, 0, 0, false},
    // 900 bytes.
    {900, "", 200, 0, 899, true},
    {900, "500-", 206, 500, 899, true},
    {900, "-500", 206, 400, 899, true},
    {900, "-900", 206, 0, 899, true},
    {900, "-901", 206, 0, 899, true},
    {900, "900-", 416, 0, 0, false},
    {900, "0-0", 206, 0, 0, false},
    {900, "-1", 206, 899, 899, true},
    {900, "-0", 416, 0, 0, false},
    {900, "100-199", 206, 100, 199, false},
    {900, "100-899", 206, 100, 899, true},
    {900, "100-5000", 206, 100, 899, true},
    {900, "899-899", 206, 899, 899, true},
    {900, "900-950", 416, 0, 0, false},
    {900, "500-499", 416, 0, 0, false},
    {900, "0-99,200-299", 206, 0, 899, true},
    {900, "9223372036854775807-", 416, 0, 0, false},
    {900, "-9223372036854775807", 206, 0, 899, true},
    {900, "0-9223372036854775807", 206, 0, 899, true},
    // Exactly one piece.
    {4096, "", 200, 0, 4095, true},
    {4096, "0-4095", 206, 0, 4095, true},
    {4096, "1-", 206, 1, 4095, true},
    {4096, "-4096", 206, 0, 4095, true},
    {4096, "0-4094", 206, 0, 4094, false},
    {4096, "4095-", 206, 4095, 4095, true},
    // One byte more than a piece.
    {4097, "", 200, 0, 4096, true},
    {4097, "-1", 206, 4096, 4096, true},
    {4097, "1-", 206, 1, 4096, true},
    {4097, "0-4095", 206, 0, 4095, false},
    {4097, "-4097", 206, 0, 4096, true},
    // Two pieces and a bit.
    {2 * 4096 + 100, "", 200, 0, 8291, true},
    {2 * 4096 + 100, "100-", 206, 100, 8291, true},
    {2 * 4096 + 100, "4095-8190", 206, 4095, 8190, false},
    {2 * 4096 + 100, "4095-8191", 206, 4095, 8191, false},
    {2 * 4096 + 100, "-8292", 206, 0, 8291, true},
    {2 * 4096 + 100, "-8293", 206, 0, 8291, true},
    {2 * 4096 + 100, "8000-9000", 206, 8000, 8291, true},
    {2 * 4096 + 100, "8292-", 416, 0, 0, false},
};
INSTANTIATE_TEST_SUITE_P(Writer, RangeTable, ::testing::ValuesIn(kWriterRangeCases));

TEST_F(ResponseWriterTest, PiecesOfTwoPiecesAndABit) {
  const std::string content = Content(2 * 4096 + 100);
  const std::string file = MakeFile("f", content);
  shares_.AppendShare(file, "/f", 0);
  const CapturingSink sink = Get("/f");
  // The two whole blocks go out together; the last piece alone, as it always did.
  ASSERT_EQ(sink.sends.size(), 3u);
  EXPECT_EQ(sink.sends[0], Head200(8292, ValidatorLines(file)));
  EXPECT_EQ(sink.sends[1].size(), 8192u);
  EXPECT_EQ(sink.sends[2].size(), 100u);
  EXPECT_EQ(sink.sends[1] + sink.sends[2], content);
}

TEST_F(ResponseWriterTest, SmallAnswerLeavesInOneSend) {
  for (std::int64_t size : {0, 1, 900, 4096}) {
    SCOPED_TRACE(size);
    const std::string content = Content(size);
    const std::string path = "/small-" + std::to_string(size);
    const std::string file = MakeFile(path.substr(1), content);
    shares_.AppendShare(file, path, 0);
    const CapturingSink sink = Get(path);
    ASSERT_EQ(sink.sends.size(), 1u);
    EXPECT_EQ(sink.sends[0], Head200(size, ValidatorLines(file)) + content);
  }
}

TEST_F(ResponseWriterTest, LargeBodyGoesOutInLargePieces) {
  const std::int64_t size = 2 * kPieceSize + 3 * 4096 + 5;
  const std::string content = Content(size);
  const std::string file = MakeFile("large", content);
  shares_.AppendShare(file, "/large", 0);
  const CapturingSink sink = Get("/large");
  ASSERT_EQ(sink.sends.size(), 5u);
  EXPECT_EQ(sink.sends[1].size(), static_cast<std::size_t>(kPieceSize));
  EXPECT_EQ(sink.sends[2].size(), static_cast<std::size_t>(kPieceSize));
  EXPECT_EQ(sink.sends[3].size(), 3u * 4096);
  EXPECT_EQ(sink.sends[4].size(), 5u);
  EXPECT_EQ(sink.All(), Head200(size, ValidatorLines(file)) + content);
}

// The server closes after every answer, so every answer says so, whatever the request
// asked: a client that kept the connection for another request would meet a reset.
TEST_F(ResponseWriterTest, EveryAnswerSaysTheConnectionCloses) {
  const std::string file = MakeFile("f", "0123456789");
  const std::string v = ValidatorLines(file);
  shares_.AppendShare(file, "/f", 0);
  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(Get("/f", "", mode).All(), Head200(10, v) + "0123456789");
    EXPECT_EQ(Get("/f", "2-3", mode).All(), Head206(2, 3, 10, v) + "23");
    EXPECT_EQ(Get("/f", "10-", mode).All(), RangeNotSatisfiable(10));
    EXPECT_EQ(Get("/none", "", mode).All(), kNotFoundPage);
  }
}

// A download that breaks off: the one-shot rule runs only once the last piece is due.
struct BrokenCase {
  std::int64_t size;
  int allowedCalls;  // sends that succeed, the header block included
  int calls;         // sends tried: a failed header send is not noticed, a failed piece is
  bool withdraws;
};

class BrokenDownloadTable : public ResponseWriterTest,
                            public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenDownloadTable, OneShotAndResume) {
  const BrokenCase& c = GetParam();
  const std::string content = Content(c.size);
  const std::string file = MakeFile("f", content);
  const std::string v = ValidatorLines(file);
  const SharePtr share = shares_.AppendShare(file, "/f", kOneShot);
  CapturingSink sink(c.allowedCalls);
  Request request = ParsedRequest("/f", "");
  WriteResponse(request, shares_, sink);
  // The writer stops at the first failed send.
  EXPECT_EQ(sink.calls, c.calls);
  EXPECT_EQ(share->IsWithdrawn(), c.withdraws);
  if (c.withdraws) return;

  // Resuming from what arrived reaches the end and withdraws the share.
  const std::int64_t received = static_cast<std::int64_t>(sink.All().size()) -
                                static_cast<std::int64_t>(Head200(c.size, v).size());
  const std::int64_t from = received > 0 ? received : 0;
  const CapturingSink resumed = Get("/f", std::to_string(from) + "-");
  EXPECT_EQ(resumed.All(),
            Head206(from, c.size - 1, c.size, v) + content.substr(static_cast<std::size_t>(from)));
  EXPECT_TRUE(share->IsWithdrawn());
  EXPECT_EQ(Get("/f").All(), kNotFoundPage);
}

// 8292 bytes: the header block, the two whole blocks in one piece, the last 100 bytes.
INSTANTIATE_TEST_SUITE_P(Writer, BrokenDownloadTable,
                         ::testing::Values(BrokenCase{8292, 0, 2, false},  // header send fails
                                           BrokenCase{8292, 1, 2, false},  // first piece fails
                                           BrokenCase{8292, 2, 3, true},   // last piece fails
                                           BrokenCase{8292, 3, 3, true},   // all sent
                                           // the only piece is the last: one send with the head
                                           BrokenCase{900, 0, 1, true}));

// Ordinary shares are read by several clients at once; a one-shot share by one at a time;
// a file held open exclusively is served to nobody.
TEST_F(ResponseWriterTest, SecondConcurrentDownload) {
  const std::string content = Content(3 * 4096);
  const std::string file = MakeFile("f", content);
  const std::string v = ValidatorLines(file);
  shares_.AppendShare(file, "/f", 0);
  const SharePtr oneShot = shares_.AppendShare(file, "/once", kOneShot);
  {
    platform::File held = platform::File::OpenExclusiveRead(file);
    ASSERT_TRUE(held.IsOpen());
    EXPECT_EQ(Get("/f").All(), kNotFoundPage);
    EXPECT_EQ(Get("/once").All(), kNotFoundPage);
  }
  struct Case {
    const char* first;
    const char* second;
    bool secondServed;
  };
  const Case cases[] = {
      {"/f", "/f", true},
      {"/f", "/once", false},
      {"/once", "/f", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " then " + c.second);
    // While a first answer is sending its pieces, a second client asks for the same file.
    CapturingSink first;
    std::string second;
    first.onSend = [&](int call) {
      if (call == 2) second = Get(c.second).All();
    };
    Request request = ParsedRequest(c.first, "");
    WriteResponse(request, shares_, first);
    EXPECT_EQ(second, c.secondServed ? Head200(3 * 4096, v) + content : kNotFoundPage);
    EXPECT_EQ(first.All(), Head200(3 * 4096, v) + content);
    EXPECT_EQ(oneShot->IsWithdrawn(), std::string(c.first) == "/once");
  }
  // Once the first answer has closed the file, it is served again.
  EXPECT_EQ(Get("/f").All(), Head200(3 * 4096, v) + content);
}

TEST_F(ResponseWriterTest, ShareDeletedDuringDownloadIsNotWithdrawnAgain) {
  const std::string content = Content(2 * 4096 + 1);
  const std::string file = MakeFile("f", content);
  const std::string v = ValidatorLines(file);
  const SharePtr share = shares_.AppendShare(file, "/f", kOneShot);
  CapturingSink sink;
  sink.onSend = [&](int call) {
    if (call == 2) shares_.RemoveShare(share);
  };
  Request request = ParsedRequest("/f", "");
  WriteResponse(request, shares_, sink);
  // The download finishes from the share it started with; the lookup for the one-shot rule
  // no longer finds it, so nothing is marked.
  EXPECT_EQ(sink.All(), Head200(content.size(), v) + content);
  EXPECT_FALSE(share->IsWithdrawn());
}

// The withdrawal is claimed, and the listener that stores it has run, before the last
// piece leaves; an answer that loses the claim to another ends without that piece, and
// stores nothing.
TEST_F(ResponseWriterTest, OneShotClaimComesBeforeTheLastPiece) {
  struct Case {
    const char* name;
    std::int64_t size;
    int claimedBySendCall;   // another answer claims the share before this send (0: nobody)
    int listenerAfterSends;  // sends made when the listener ran; -1: it never ran
    std::int64_t bodyBytes;
  };
  const Case cases[] = {
      // Head, the three whole blocks, then the last 5 bytes.
      {"won", 3 * 4096 + 5, 0, 2, 3 * 4096 + 5},
      {"lost while the whole blocks go out", 3 * 4096 + 5, 2, -1, 3 * 4096},
      // The whole body is the last piece: claimed before anything goes out.
      {"small won", 900, 0, 0, 900},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tests::ScopedTempDirectory dir;
    ShareRegistry shares;
    const std::string content = Content(c.size);
    tests::WriteFileBytes(dir.path() / "f", content);
    const SharePtr share = shares.AppendShare((dir.path() / "f").string(), "/f", kOneShot);
    CapturingSink sink;
    int listenerAfterSends = -1;
    shares.SetWithdrawalListener([&] { listenerAfterSends = sink.calls; });
    sink.onSend = [&](int call) {
      if (call == c.claimedBySendCall) share->flags.fetch_or(kWithdrawn);
    };
    const ResponseSummary summary = WriteResponse(ParsedRequest("/f", ""), shares, sink);
    EXPECT_EQ(listenerAfterSends, c.listenerAfterSends);
    EXPECT_EQ(summary.bodyBytes, c.bodyBytes);
    EXPECT_EQ(sink.All(), Head200(c.size, ValidatorLines((dir.path() / "f").string())) +
                              content.substr(0, static_cast<std::size_t>(c.bodyBytes)));
    EXPECT_TRUE(share->IsWithdrawn());
  }
}

// A one-shot share is used up only when its client has taken everything before the last
// piece: bytes queued for a client that has gone must not use the link up. The writer asks
// the sink (the socket) before it claims; an ordinary share's answer asks after its last
// piece, before it counts; answers that cannot count (short of the end, a preview) never ask.
TEST_F(ResponseWriterTest, OneShotWaitsForTheClientBeforeTheLastPiece) {
  constexpr std::int64_t kSize = 3 * 4096 + 5;
  struct Case {
    const char* name;
    std::int64_t size;
    const char* range;
    std::uint32_t flags;
    bool delivered;  // what the sink answers
    int waits;       // times the writer asked
    bool withdrawn;
    std::int64_t bodyBytes;
    std::uint64_t counted = 0;
    bool preview = false;
    // What the writer said follows the bytes it waited for: an answer that left in one
    // send may be proven by the client's close alone, a longer one never.
    DeliveryWait wait = DeliveryWait::Last;
  };
  const Case cases[] = {
      {"delivered", kSize, "", kOneShot, true, 1, true, kSize, 1, false, DeliveryWait::MoreFollows},
      {"the client went without the rest", kSize, "", kOneShot, false, 1, false, 3 * 4096, 0, false,
       DeliveryWait::MoreFollows},
      {"a resume to the end, the client went", kSize, "4000-", kOneShot, false, 1, false, 8192, 0,
       false, DeliveryWait::MoreFollows},
      {"a range short of the end claims nothing", kSize, "0-8191", kOneShot, false, 0, false, 8192},
      {"a body of one piece has nothing before it", 900, "", kOneShot, false, 0, true, 900, 1},
      // An ordinary share sends its last piece at once and counts once all is acknowledged.
      {"an ordinary share, delivered, counts", kSize, "", 0, true, 1, false, kSize, 1},
      {"an ordinary share whose client went", kSize, "", 0, false, 1, false, kSize},
      {"a resume to the end counts once", kSize, "4000-", 0, true, 1, false, kSize - 4000, 1},
      {"a small file counts once delivered", 900, "", 0, true, 1, false, 900, 1, false,
       DeliveryWait::WholeInOneSend},
      {"a small file whose client went", 900, "", 0, false, 1, false, 900, 0, false,
       DeliveryWait::WholeInOneSend},
      {"a resume to the end within the last piece", kSize, "12290-", 0, true, 1, false, 3, 1, false,
       DeliveryWait::WholeInOneSend},
      {"a range short of the end never asks", kSize, "0-99", 0, true, 0, false, 100},
      {"a link preview neither waits nor counts", kSize, "", 0, false, 0, false, kSize, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShareRegistry shares;
    const std::string file = MakeFile("wait.bin", Content(c.size));
    const SharePtr share = shares.AppendShare(file, "/w", c.flags);
    CapturingSink sink;
    sink.delivered = [&](int) { return c.delivered; };
    Request request = ParsedRequest("/w", c.range);
    request.linkPreview = c.preview;
    const ResponseSummary summary = WriteResponse(request, shares, sink, 0x0A000001);
    EXPECT_EQ(sink.deliveryWaits, c.waits);
    if (c.waits > 0) {
      EXPECT_EQ(sink.lastDeliveryWait, c.wait);
    }
    EXPECT_EQ(share->IsWithdrawn(), c.withdrawn);
    EXPECT_EQ(summary.bodyBytes, c.bodyBytes);
    EXPECT_EQ(summary.completed, c.counted == 1);
    EXPECT_EQ(share->Tally().completed, c.counted);
    EXPECT_EQ(share->Tally().lastAddress, c.counted == 1 ? 0x0A000001u : 0u);
  }
}

// While a one-shot link's first download runs, other requests are told to come back (503
// with Retry-After, its head alone for HEAD), not that the link is gone; link previews
// keep their 404. When that download breaks, the link works again; when it ends, the link
// is gone.
TEST_F(ResponseWriterTest, OneShotLinkBeingDownloadedAnswersBusy) {
  const std::string content = Content(3 * 4096);
  const std::string file = MakeFile("once.bin", content);
  const std::string head = "HEAD /once HTTP/1.1\r\n\r\n";
  const std::string preview =
      "GET /once HTTP/1.1\r\nUser-Agent: Slackbot-LinkExpanding 1.0\r\n\r\n";
  const auto ask = [&](const std::string& request) {
    CapturingSink sink;
    WriteResponse(ParseRequest(request.data(), static_cast<std::int32_t>(request.size())), shares_,
                  sink);
    return sink.All();
  };
  for (const bool breaks : {true, false}) {
    SCOPED_TRACE(breaks ? "the first download breaks" : "the first download ends");
    shares_.ClearShares();
    const SharePtr share = shares_.AppendShare(file, "/once", kOneShot);
    // Breaking: the body's first piece is the send that fails.
    CapturingSink first(breaks ? 1 : -1);
    std::string during, duringHead, duringPreview;
    first.onSend = [&](int call) {
      if (call != 2) return;
      during = Get("/once").All();
      duringHead = ask(head);
      duringPreview = ask(preview);
    };
    WriteResponse(ParsedRequest("/once", ""), shares_, first);
    EXPECT_EQ(during, kBusyPage);
    EXPECT_EQ(duringHead, HeadOf(kBusyPage));
    EXPECT_EQ(duringPreview, kNotFoundPage);
    EXPECT_EQ(share->IsWithdrawn(), !breaks);
    EXPECT_EQ(Get("/once").All(),
              breaks ? Head200(content.size(), ValidatorLines(file)) + content : kNotFoundPage);
  }
}

// A zero byte never cuts a path, and a character the code page lacks is never mapped to a
// look-alike (on Windows a full-width dot became a dot): the path names no share, whichever
// share the cut or mapped path would have named.
TEST_F(ResponseWriterTest, PathsThatCanNameNoShareGetThe404Page) {
  const std::string file = MakeFile("f.bin", "abc");
  for (const char* path : {"/f.bin", "/small.txt", "/a"}) shares_.AppendShare(file, path, 0);
  struct Case {
    const char* target;
    bool served;
  };
  const Case cases[] = {
      {"/f.bin%00.exe", false},      {"/f.bin%00", false}, {"/a%zz", false},
      {"/small%EF%BC%8Etxt", false}, {"/f%2ebin", true},   {"/%61", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(Get(c.target).All(),
              c.served ? Head200(3, ValidatorLines(file)) + "abc" : kNotFoundPage);
  }
}

// Link previews: a one-shot share answers them with the 404 page and stays published; an
// ordinary share serves them as anyone.
TEST_F(ResponseWriterTest, LinkPreviewsDoNotUseUpAOneShotShare) {
  const std::string content = Content(900);
  const std::string file = MakeFile("f", content);
  const SharePtr once = shares_.AppendShare(file, "/once", kOneShot);
  shares_.AppendShare(file, "/plain", 0);
  struct Case {
    const char* path;
    const char* agent;
    bool served;
    bool withdrawnAfter;
  };
  const Case cases[] = {
      {"/once", "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)", false, false},
      {"/once", "WhatsApp/2.23.20.0 A", false, false},
      {"/plain", "WhatsApp/2.23.20.0 A", true, false},
      {"/once",
       "Mozilla/5.0 (Linux; Android 10; CUBOT X30) AppleWebKit/537.36 Chrome/124.0 Mobile "
       "Safari/537.36",
       true, true},
      {"/once", "Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0", false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " for " + c.agent);
    const std::string head =
        std::string("GET ") + c.path + " HTTP/1.1\r\nUser-Agent: " + c.agent + "\r\n\r\n";
    CapturingSink sink;
    WriteResponse(ParseRequest(head.data(), static_cast<std::int32_t>(head.size())), shares_, sink);
    EXPECT_EQ(sink.All(), c.served ? Head200(900, ValidatorLines(file)) + content : kNotFoundPage);
    EXPECT_EQ(once->IsWithdrawn(), c.withdrawnAfter);
  }
}

TEST_F(ResponseWriterTest, FileLargerThan4GiB) {
  constexpr std::int64_t kSize = (std::int64_t{1} << 32) + 100;
  const std::string file = (temp_.path() / "big.bin").string();
  {
    // Sparse where the file system allows: only the first and last bytes are written.
    std::fstream out(file, std::ios::out | std::ios::binary | std::ios::trunc);
    out.write("HEAD", 4);
    out.seekp(kSize - 4);
    out.write("TAIL", 4);
    ASSERT_TRUE(out.good());
  }
  ASSERT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(file)), kSize);
  shares_.AppendShare(file, "/big", 0);
  const std::string v = ValidatorLines(file);

  struct Case {
    const char* range;
    std::string head;
    std::string body;
  };
  const Case cases[] = {
      {"-4", Head206(kSize - 4, kSize - 1, kSize, v), "TAIL"},
      {"4294967394-", Head206(kSize - 2, kSize - 1, kSize, v), "IL"},
      {"4294967295-4294967296", Head206(4294967295LL, 4294967296LL, kSize, v),
       std::string(2, '\0')},
      {"0-3", Head206(0, 3, kSize, v), "HEAD"},
      {"4294967396-", RangeNotSatisfiable(kSize), ""},
      {"4294967396-4294967396", RangeNotSatisfiable(kSize), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    EXPECT_EQ(Get("/big", c.range).All(), c.head + c.body);
  }

  CountingSink sink;
  Request request = ParsedRequest("/big", "");
  WriteResponse(request, shares_, sink);
  EXPECT_EQ(sink.header, Head200(kSize, v));
  EXPECT_EQ(sink.header.find("Content-Length: 4294967396\r\n") != std::string::npos, true);
  EXPECT_EQ(sink.bodyBytes, kSize);
  EXPECT_EQ(sink.bodyHead.substr(0, 4), "HEAD");
  EXPECT_EQ(sink.bodyTail.substr(12), "TAIL");
  EXPECT_EQ(sink.shortPieces, 1);
  EXPECT_EQ(sink.lastPiece, 100);
}

}  // namespace
}  // namespace qc

namespace qc {
namespace {

// A client that asks again the moment the last bytes of its download arrive must find the
// file free: it is closed before the last piece goes out, for every piece count.
TEST_F(ResponseWriterTest, FileIsFreeForTheNextRequestWhenTheLastPieceGoesOut) {
  for (std::int64_t size : {1, kLastPieceSize, 2 * kLastPieceSize + 100, kPieceSize + 1}) {
    SCOPED_TRACE(size);
    const std::string file = MakeFile("again-" + std::to_string(size), Content(size));
    shares_.AppendShare(file, "/again-" + std::to_string(size), 0);
    CapturingSink sink;
    std::vector<bool> openableAtSend;
    sink.onSend = [&](int) {
      openableAtSend.push_back(platform::File::OpenExclusiveRead(file).IsOpen());
    };
    Request request = ParsedRequest("/again-" + std::to_string(size), "");
    WriteResponse(request, shares_, sink);
    // In use while pieces remain (an answer that is one last piece has none before it).
    ASSERT_EQ(openableAtSend.size() >= 2u, size > kLastPieceSize);
    if (openableAtSend.size() >= 2u) {
      EXPECT_FALSE(openableAtSend[openableAtSend.size() - 2]);
    }
    EXPECT_TRUE(openableAtSend.back());
    EXPECT_TRUE(sink.All() == Head200(size, ValidatorLines(file)) + Content(size));
  }
}

}  // namespace
}  // namespace qc

namespace qc {
namespace {

// What a request head becomes once "{TAG}", "{DATE}", "{DATE-1}", "{DATE+1}" and
// "{DATE+2}" are replaced by the file's entity tag, its Last-Modified text and that time a
// second or two off.
std::string Fill(std::string text, const Validators& v) {
  const std::pair<std::string, std::string> fills[] = {
      {"{TAG}", v.entityTag},
      {"{DATE}", *v.lastModified},
      {"{DATE-1}", *FormatHttpDate(v.modifiedSeconds - 1)},
      {"{DATE+1}", *FormatHttpDate(v.modifiedSeconds + 1)},
      {"{DATE+2}", *FormatHttpDate(v.modifiedSeconds + 2)},
  };
  for (const auto& [key, value] : fills) {
    for (std::size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size())) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

// Conditional requests and HEAD against a file of 1000 bytes, each on a plain share and on
// a fresh one-shot share of it.
struct WriterConditionalCase {
  const char* name;
  const char* method;  // "GET" or "HEAD"
  const char* lines;   // header lines, each ended by CR LF; placeholders as in Fill
  int status;          // 200, 206, 304, 412 or 416
  std::int64_t first;  // a 206's bytes
  std::int64_t last;
  bool withdraws;  // the one-shot share is used up
};

void PrintTo(const WriterConditionalCase& c, std::ostream* os) { *os << c.name; }

class ConditionalTable : public ResponseWriterTest,
                         public ::testing::WithParamInterface<WriterConditionalCase> {};

TEST_P(ConditionalTable, AnswersAndOneShot) {
  const WriterConditionalCase& c = GetParam();
  constexpr std::int64_t kSize = 1000;
  const std::string content = Content(kSize);
  const std::string file = MakeFile("f.bin", content);
  const std::optional<platform::FileVersion> version =
      platform::File::OpenSharedRead(file).Version();
  ASSERT_TRUE(version.has_value());
  const Validators validators = ValidatorsOf(*version);
  const std::string v = ValidatorLines(file);
  const std::string lines = Fill(c.lines, validators);
  const bool head = std::string(c.method) == "HEAD";

  std::string expected;
  std::int64_t bodyBytes = 0;
  if (c.status == 200) {
    expected = Head200(kSize, v);
    bodyBytes = kSize;
  } else if (c.status == 206) {
    expected = Head206(c.first, c.last, kSize, v);
    bodyBytes = c.last - c.first + 1;
  } else if (c.status == 304) {
    expected = Head304(v);
  } else {
    const std::string page = c.status == 412 ? kPreconditionFailedPage : RangeNotSatisfiable(kSize);
    expected = head ? HeadOf(page) : page;
    bodyBytes = static_cast<std::int64_t>(page.size() - HeadOf(page).size());
  }
  if (head) bodyBytes = 0;
  if (c.status != 412 && c.status != 416) {
    expected +=
        content.substr(static_cast<std::size_t>(c.first), static_cast<std::size_t>(bodyBytes));
  }

  for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(kOneShot)}) {
    SCOPED_TRACE(flags == 0 ? "plain share" : "one-shot share");
    ShareRegistry shares;
    const SharePtr share = shares.AppendShare(file, "/f.bin", flags);
    const std::string request = std::string(c.method) + " /f.bin HTTP/1.1\r\n" + lines + "\r\n";
    const Request parsed = ParseRequest(request.data(), static_cast<std::int32_t>(request.size()));
    ASSERT_FALSE(parsed.badRequest) << request;
    CapturingSink sink;
    const ResponseSummary summary = WriteResponse(parsed, shares, sink);
    EXPECT_EQ(sink.All(), expected) << request;
    EXPECT_EQ(summary.status, c.status);
    EXPECT_EQ(summary.bodyBytes, bodyBytes);
    EXPECT_EQ(share->IsWithdrawn(), flags != 0 && c.withdraws);
  }
}

const WriterConditionalCase kWriterConditionalCases[] = {
    // If-Range: the range when the client's copy is this version, else the whole file.
    {"IfRangeOurTag", "GET", "Range: bytes=100-199\r\nIf-Range: {TAG}\r\n", 206, 100, 199, false},
    // A date matches only when the file is at least a second older than it: the second of
    // our Last-Modified may hold two versions.
    {"IfRangeOurDate", "GET", "Range: bytes=100-199\r\nIf-Range: {DATE}\r\n", 200, 0, 999, true},
    {"IfRangeTwoSecondsLater", "GET", "Range: bytes=100-199\r\nIf-Range: {DATE+2}\r\n", 206, 100,
     199, false},
    {"IfRangeNoBlank", "GET", "Range: bytes=100-199\r\nIf-Range:{TAG}\r\n", 206, 100, 199, false},
    {"IfRangeReachingTheEnd", "GET", "Range: bytes=900-\r\nIf-Range: {TAG}\r\n", 206, 900, 999,
     true},
    {"IfRangeWeakTag", "GET", "Range: bytes=100-199\r\nIf-Range: W/{TAG}\r\n", 200, 0, 999, true},
    {"IfRangeOtherTag", "GET", "Range: bytes=100-199\r\nIf-Range: \"other\"\r\n", 200, 0, 999,
     true},
    {"IfRangeEarlierDate", "GET", "Range: bytes=100-199\r\nIf-Range: {DATE-1}\r\n", 200, 0, 999,
     true},
    {"IfRangeLaterDate", "GET", "Range: bytes=100-199\r\nIf-Range: {DATE+1}\r\n", 200, 0, 999,
     true},
    {"IfRangeMalformed", "GET", "Range: bytes=100-199\r\nIf-Range: yesterday\r\n", 200, 0, 999,
     true},
    {"IfRangeEmpty", "GET", "Range: bytes=100-199\r\nIf-Range:\r\n", 200, 0, 999, true},
    {"IfRangeWithoutRange", "GET", "If-Range: \"other\"\r\n", 200, 0, 999, true},
    // An unsatisfiable range is not looked at when the If-Range does not hold.
    {"UnsatisfiableRangeOtherTag", "GET", "Range: bytes=2000-\r\nIf-Range: \"other\"\r\n", 200, 0,
     999, true},
    {"UnsatisfiableRangeOurTag", "GET", "Range: bytes=2000-\r\nIf-Range: {TAG}\r\n", 416, 0, -1,
     false},
    // If-None-Match and If-Modified-Since: 304 when the client's copy is current.
    {"IfNoneMatchOurTag", "GET", "If-None-Match: {TAG}\r\n", 304, 0, -1, false},
    {"IfNoneMatchWeak", "GET", "If-None-Match: W/{TAG}\r\n", 304, 0, -1, false},
    {"IfNoneMatchInAList", "GET", "If-None-Match: \"a\", {TAG}\r\n", 304, 0, -1, false},
    {"IfNoneMatchOverTwoLines", "GET", "If-None-Match: \"a\"\r\nIf-None-Match: {TAG}\r\n", 304, 0,
     -1, false},
    {"IfNoneMatchStar", "GET", "If-None-Match: *\r\n", 304, 0, -1, false},
    {"IfNoneMatchOtherTag", "GET", "If-None-Match: \"other\"\r\n", 200, 0, 999, true},
    {"IfNoneMatchMalformed", "GET", "If-None-Match: {TAG} x\r\n", 200, 0, 999, true},
    {"IfNoneMatchWithRange", "GET", "Range: bytes=0-9\r\nIf-None-Match: {TAG}\r\n", 304, 0, -1,
     false},
    {"IfNoneMatchBeatsTheDate", "GET", "If-None-Match: \"other\"\r\nIf-Modified-Since: {DATE}\r\n",
     200, 0, 999, true},
    {"IfModifiedSinceOurDate", "GET", "If-Modified-Since: {DATE}\r\n", 304, 0, -1, false},
    {"IfModifiedSinceLater", "GET", "If-Modified-Since: {DATE+1}\r\n", 304, 0, -1, false},
    {"IfModifiedSinceEarlier", "GET", "If-Modified-Since: {DATE-1}\r\n", 200, 0, 999, true},
    {"IfModifiedSinceMalformed", "GET", "If-Modified-Since: Sun, 31 Nov 1994 08:49:37 GMT\r\n", 200,
     0, 999, true},
    {"IfModifiedSinceWithRange", "GET", "Range: bytes=0-9\r\nIf-Modified-Since: {DATE-1}\r\n", 206,
     0, 9, false},
    // HEAD: the head a GET would get, no body, and the share stays.
    {"Head", "HEAD", "", 200, 0, 999, false},
    {"HeadRange", "HEAD", "Range: bytes=-1\r\n", 206, 999, 999, false},
    {"HeadIfRangeOtherTag", "HEAD", "Range: bytes=-1\r\nIf-Range: \"other\"\r\n", 200, 0, 999,
     false},
    {"HeadIfNoneMatch", "HEAD", "If-None-Match: {TAG}\r\n", 304, 0, -1, false},
    {"HeadUnsatisfiableRange", "HEAD", "Range: bytes=1000-\r\n", 416, 0, -1, false},
    // If-Match and If-Unmodified-Since, in RFC 9110's order: they come first, and a failed
    // one is 412 whatever else the request says; the one-shot share stays.
    {"IfMatchOurTag", "GET", "If-Match: {TAG}\r\n", 200, 0, 999, true},
    {"IfMatchStar", "GET", "If-Match: *\r\n", 200, 0, 999, true},
    {"IfMatchInAList", "GET", "If-Match: \"a\", {TAG}\r\n", 200, 0, 999, true},
    {"IfMatchOtherTag", "GET", "If-Match: \"other\"\r\n", 412, 0, -1, false},
    {"IfMatchOurTagWeak", "GET", "If-Match: W/{TAG}\r\n", 412, 0, -1, false},
    {"IfMatchMalformed", "GET", "If-Match: {TAG} x\r\n", 412, 0, -1, false},
    {"IfMatchBeatsIfNoneMatch", "GET", "If-Match: \"other\"\r\nIf-None-Match: {TAG}\r\n", 412, 0,
     -1, false},
    {"IfMatchBeatsTheRange", "GET", "If-Match: \"other\"\r\nRange: bytes=2000-\r\n", 412, 0, -1,
     false},
    {"IfMatchWithRange", "GET", "If-Match: {TAG}\r\nRange: bytes=0-9\r\n", 206, 0, 9, false},
    {"IfUnmodifiedSinceOurDate", "GET", "If-Unmodified-Since: {DATE}\r\n", 200, 0, 999, true},
    {"IfUnmodifiedSinceEarlier", "GET", "If-Unmodified-Since: {DATE-1}\r\n", 412, 0, -1, false},
    {"IfUnmodifiedSinceMalformed", "GET", "If-Unmodified-Since: soon\r\n", 200, 0, 999, true},
    {"IfMatchBeatsTheDate", "GET", "If-Match: {TAG}\r\nIf-Unmodified-Since: {DATE-1}\r\n", 200, 0,
     999, true},
    {"HeadIfMatchOtherTag", "HEAD", "If-Match: \"other\"\r\n", 412, 0, -1, false},
};
INSTANTIATE_TEST_SUITE_P(Writer, ConditionalTable, ::testing::ValuesIn(kWriterConditionalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// HEAD gets the pages' heads with their Content-Length, no body; other methods the page.
TEST_F(ResponseWriterTest, HeadGetsThePagesHeads) {
  shares_.AppendShare(MakeFile("a.bin", "abc"), "/a.bin", 0);
  shares_.AppendShare(MakeFile("gone.bin", "abc"), "/gone.bin", kOneShot | kWithdrawn);
  const std::string notFoundHead = kNotFoundPage.substr(0, kNotFoundPage.find("<html>"));
  const std::string badRequestHead = kBadRequestPage.substr(0, kBadRequestPage.find("<html>"));
  struct Case {
    const char* head;
    std::string expected;
    int status;
  };
  const Case cases[] = {
      {"HEAD /none HTTP/1.1\r\n\r\n", notFoundHead, 404},
      {"HEAD /gone.bin HTTP/1.1\r\n\r\n", notFoundHead, 404},
      {"HEAD /a.bin HTTP/1.1\r\nRange: bytes=-\r\n\r\n", badRequestHead, 400},
      {"HEAD  /a.bin HTTP/1.1\r\n\r\n", badRequestHead, 400},
      {"POST /a.bin HTTP/1.1\r\n\r\n", kBadRequestPage, 400},
      {"OPTIONS * HTTP/1.1\r\n\r\n", kBadRequestPage, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    const std::string head = c.head;
    CapturingSink sink;
    const ResponseSummary summary = WriteResponse(
        ParseRequest(head.data(), static_cast<std::int32_t>(head.size())), shares_, sink);
    EXPECT_EQ(sink.All(), c.expected);
    EXPECT_EQ(summary.status, c.status);
    EXPECT_EQ(summary.bodyBytes,
              static_cast<long long>(c.expected.size() - c.expected.find("\r\n\r\n") - 4));
  }
}

// The browser's resume: a range asked with the validators of the first answer. Once the
// file has changed (same size, new bytes, new time), or another file of the same size and
// time has taken its place, the range would splice two versions: the whole new file goes.
TEST_F(ResponseWriterTest, ChangedFileIsSentWholeToAResume) {
  namespace fs = std::filesystem;
  const std::string before = Content(5000);
  const std::string file = MakeFile("f.bin", before);
  shares_.AppendShare(file, "/f.bin", 0);
  const Validators first = ValidatorsOf(*platform::File::OpenSharedRead(file).Version());
  const auto resume = [&](const std::string& ifRange) {
    CapturingSink sink;
    WriteResponse(ParsedRequest("/f.bin", "4000-", 0, "If-Range: " + ifRange), shares_, sink);
    return sink.All();
  };
  ASSERT_EQ(resume(first.entityTag),
            Head206(4000, 4999, 5000, ValidatorLines(file)) + before.substr(4000));

  struct Case {
    const char* name;
    std::function<void()> change;
  };
  // The time the file had, to set it again at full resolution.
  const auto writtenAt = [&] { return *platform::File::OpenSharedRead(file).Version(); };
  const Case cases[] = {
      {"rewritten in place, two seconds later",
       [&] {
         const platform::FileVersion was = writtenAt();
         tests::WriteFileBytes(file, std::string(before.rbegin(), before.rend()));
         ASSERT_TRUE(
             tests::SetModifiedTime(file, was.modifiedSeconds + 2, was.modifiedNanoseconds));
       }},
      {"rewritten in place within the same second",
       [&] {
         const platform::FileVersion was = writtenAt();
         tests::WriteFileBytes(file, std::string(5000, 'x'));
         ASSERT_TRUE(tests::SetModifiedTime(file, was.modifiedSeconds,
                                            (was.modifiedNanoseconds + 100000) % 1000000000));
       }},
      {"replaced by another file with the same size and time",
       [&] {
         const platform::FileVersion was = writtenAt();
         const std::string other = MakeFile("other.bin", std::string(5000, 'y'));
         ASSERT_TRUE(tests::SetModifiedTime(other, was.modifiedSeconds, was.modifiedNanoseconds));
         fs::remove(file);
         fs::rename(other, file);
       }},
  };
  Validators current = first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    const std::string now = tests::ReadFileBytes(file);
    const Validators changed = ValidatorsOf(*platform::File::OpenSharedRead(file).Version());
    EXPECT_NE(changed.entityTag, current.entityTag);
    EXPECT_EQ(resume(current.entityTag), Head200(5000, ValidatorLines(file)) + now);
    EXPECT_EQ(resume(changed.entityTag),
              Head206(4000, 4999, 5000, ValidatorLines(file)) + now.substr(4000));
    current = changed;
  }
}

}  // namespace
}  // namespace qc
