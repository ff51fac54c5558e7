#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/connection.h"
#include "unit/live_server.h"
#include "unit/memory_stream.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"
#include "unit/wire_answers.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::Exchange;
using tests::WaitFor;
using tests::wire::kBadRequestPage;
using tests::wire::kNotFoundPage;

TEST(IsHeadComplete, LooksAtTheLastByteAndTheTwoBeforeIt) {
  struct Case {
    std::string bytes;
    int expected;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", 1},  // LF CR LF
      {"GET / HTTP/1.1\n\n", 1},      // LF LF
      {"GET / HTTP/1.1\r\n\r", 1},    // CR LF CR: the final LF never needed
      {"GET / HTTP/1.1\nx\n", 1},     // a one-byte line between two line feeds
      {"GET / HTTP/1.1\r\n", 0},
      {"GET / HTTP/1.1\n", 0},
      {"GET / HTTP/1.1\r\n\r\nX", 0},  // the head ended inside the chunk
      {"\n", 0},                       // nothing before the buffer start matches
      {"\n\n", 1},
      {"\r", 0},
      {"x\r\r", 0},
      {"\rx\r", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    EXPECT_EQ(IsHeadComplete(c.bytes.c_str(), static_cast<std::int32_t>(c.bytes.size()) - 1),
              c.expected);
  }
}

using tests::LiveServer;

TEST_F(LiveServer, AnswersAHeadWhateverWayItArrives) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::string expected;
  };
  const std::string longHeader = "X-Filler: " + std::string(3000, 'a') + "\r\n";
  const std::vector<Case> cases = {
      {"one piece, CR LF", {"GET /none HTTP/1.1\r\nHost: x\r\n\r\n"}, kNotFoundPage},
      {"bare line feeds", {"GET /none HTTP/1.1\nHost: x\n\n"}, kNotFoundPage},
      {"final CR LF split after the CR", {"GET /none HTTP/1.1\r\n\r"}, kNotFoundPage},
      {"split in the request line", {"GET /no", "ne HTTP/1.1\r\n", "\r\n"}, kNotFoundPage},
      {"head longer than the first buffer",
       {"GET /none HTTP/1.1\r\n", longHeader, longHeader, "\r\n"},
       kNotFoundPage},
      {"no request line", {"Host: x\r\n\r\n"}, kBadRequestPage},
      // Keep-alive is answered once; the second request is never read.
      {"keep-alive then a second request",
       {"GET /none HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", "GET /none HTTP/1.1\r\n\r\n"},
       kNotFoundPage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Exchange(port_, c.chunks), c.expected);
  }
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

TEST_F(LiveServer, HeadThatEndsInsideAChunkIsNeverAnswered) {
  EXPECT_EQ(Exchange(port_, {"GET /none HTTP/1.1\r\n\r\nextra"}, /*halfCloseAfter=*/true), "");
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

TEST_F(LiveServer, ClientThatClosesEarlyGetsNothingAndLeavesTheRegistry) {
  EXPECT_EQ(Exchange(port_, {"GET /none HTT"}, /*halfCloseAfter=*/true), "");
  EXPECT_EQ(Exchange(port_, {}, /*halfCloseAfter=*/true), "");
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

TEST_F(LiveServer, HeadPastTheLimitGetsThe400PageAndIsClosed) {
  std::vector<std::string> chunks = {"GET /none HTTP/1.1\r\n"};
  for (int i = 0; i < 80; ++i) chunks.push_back("X-Filler: " + std::string(1000, 'b') + "\r\n");
  EXPECT_EQ(Exchange(port_, chunks, false, 0), kBadRequestPage);
}

TEST_F(LiveServer, StopClosesIdleClientsAndWaitsForTheirThreads) {
  std::vector<std::unique_ptr<tests::LoopbackClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<tests::LoopbackClient>(port_));
    ASSERT_TRUE(clients.back()->Connected());
  }
  // One of them is halfway through its head.
  ASSERT_TRUE(clients[1]->Send("GET /a HT"));
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 4; }));
  connections_.StopAllConnections();
  EXPECT_EQ(connections_.Count(), 0u);
  for (const auto& client : clients) {
    // Closed without an answer.
    const tests::Received received = client->ReceiveUntilClosed();
    EXPECT_EQ(received.count, 0) << received.Describe();
    EXPECT_NE(received.end, tests::Received::End::TimeLimit) << received.Describe();
  }
  // Connections accepted after the stop began are closed at once.
  tests::LoopbackClient late(port_);
  const tests::Received lateReceived = late.ReceiveUntilClosed();
  EXPECT_EQ(lateReceived.count, 0) << lateReceived.Describe();
  EXPECT_NE(lateReceived.end, tests::Received::End::TimeLimit) << lateReceived.Describe();
  EXPECT_EQ(connections_.RegisterConnection(platform::kInvalidSocket), nullptr);
}

// The thread that accepts a connection serves it, so accepting must pass to another
// thread first: otherwise a client that says nothing would keep everyone else waiting in
// the backlog.
TEST_F(LiveServer, ClientsThatSayNothingDoNotHoldUpTheNextOnes) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<std::unique_ptr<tests::LoopbackClient>> silent;
    // More than the threads kept waiting in accept, so that new ones must start.
    for (int i = 0; i < 12; ++i) {
      silent.push_back(std::make_unique<tests::LoopbackClient>(port_));
      ASSERT_TRUE(silent.back()->Connected());
      // Each one is answered while all the earlier ones still hold their threads.
      EXPECT_EQ(Exchange(port_, {"GET /none HTTP/1.1\r\n\r\n"}), kNotFoundPage);
    }
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == silent.size(); }));
    silent.clear();
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
    // The threads freed go back to accepting (or end), and one after the other is served.
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(Exchange(port_, {"GET /none HTTP/1.1\r\n\r\n"}, false, 0), kNotFoundPage);
    }
  }
  // TearDown then stops the server: every thread waiting in accept must wake and end.
}

TEST_F(LiveServer, StopEndsADownloadThatIsStillSending) {
  const std::string file = (temp_.path() / "stop-download.bin").string();
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, 'z');
    for (int i = 0; i < 32; ++i) out << block;  // far more than the socket buffers hold
  }
  shares_.AppendShare(file, "/big", 0);
  tests::LoopbackClient client(port_);
  ASSERT_TRUE(client.Send("GET /big HTTP/1.1\r\n\r\n"));
  char buffer[4096];
  ASSERT_GT(client.ReceiveSome(buffer, sizeof buffer), 0);  // the download is under way
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 1; }));
  connections_.StopAllConnections();  // must not hang on the blocked send
  EXPECT_EQ(connections_.Count(), 0u);
  const tests::Received rest = client.ReceiveUntilClosed();
  EXPECT_NE(rest.end, tests::Received::End::TimeLimit) << rest.Describe();
  EXPECT_LT(rest.count, 32LL << 20);  // broken off, not completed
}

// The same server with the time limits cut to a fraction of a second, so the tests of the
// limits need not wait a minute.
class LiveServerShortLimits : public LiveServer {
 protected:
  LiveServerShortLimits()
      : LiveServer({std::chrono::milliseconds(400), std::chrono::milliseconds(400)}) {}
};

TEST_F(LiveServerShortLimits, HeadNotCompleteInTimeIsClosedWithoutAnAnswer) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
  };
  const std::vector<Case> cases = {
      {"nothing sent", {}},
      {"half a request line", {"GET /none HT"}},
      {"a head that never ends", {"GET /none HTTP/1.1\r\n", "Host: x\r\n", "X-A: 1\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto started = std::chrono::steady_clock::now();
    // The client stays connected and never half-closes: only the limit can end it.
    EXPECT_EQ(Exchange(port_, c.chunks, false, 50), "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(350));
  }
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

TEST_F(LiveServerShortLimits, HeadWithinTheLimitIsAnswered) {
  // Arrives in pieces, but complete well before the limit.
  EXPECT_EQ(Exchange(port_, {"GET /no", "ne HTTP/1.1\r\n", "\r\n"}, false, 50), kNotFoundPage);
}

TEST_F(LiveServerShortLimits, BodyThatMakesNoProgressIsBrokenOff) {
  namespace fs = std::filesystem;
  fs::path file = fs::temp_directory_path() / ("qc-stall-" + std::to_string(port_));
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, 's');
    for (int i = 0; i < 32; ++i) out << block;  // far more than the socket buffers hold
  }
  shares_.AppendShare(file.string(), "/big", 0);
  platform::socket_t s = tests::ConnectLoopback(port_);
  std::string get = "GET /big HTTP/1.1\r\n\r\n";
  platform::Send(s, get.data(), get.size());
  char buffer[4096];
  ASSERT_GT(platform::Receive(s, buffer, sizeof buffer), 0);  // the download is under way
  // The client stops reading: without any stop, the server ends the connection itself.
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }, 10000));
  long long total = 0;
  for (;;) {
    long long n = platform::Receive(s, buffer, sizeof buffer);
    if (n <= 0) break;
    total += n;
  }
  EXPECT_LT(total, 32LL << 20);  // broken off, not completed
  platform::CloseSocket(s);
  fs::remove(file);
}

TEST_F(LiveServerShortLimits, SlowButSteadyReaderGetsTheWholeFile) {
  // Each pause is shorter than the limit, the whole download far longer: only a stall
  // counts, not the time the body takes.
  namespace fs = std::filesystem;
  fs::path file = fs::temp_directory_path() / ("qc-slow-" + std::to_string(port_));
  const long long size = 8LL << 20;
  {
    std::ofstream out(file, std::ios::binary);
    out << std::string(static_cast<std::size_t>(size), 'q');
  }
  shares_.AppendShare(file.string(), "/slow", 0);
  platform::socket_t s = tests::ConnectLoopback(port_);
  std::string get = "GET /slow HTTP/1.1\r\n\r\n";
  platform::Send(s, get.data(), get.size());
  std::string head;
  long long body = -1;
  std::vector<char> buffer(1 << 20);
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    long long n = platform::Receive(s, buffer.data(), buffer.size());
    if (n <= 0) break;
    if (body < 0) {
      head.append(buffer.data(), static_cast<std::size_t>(n));
      auto end = head.find("\r\n\r\n");
      if (end != std::string::npos) body = static_cast<long long>(head.size() - end - 4);
    } else {
      body += n;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  platform::CloseSocket(s);
  EXPECT_EQ(body, size);
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
  fs::remove(file);
}

// Limits cut to a handful of connections, so that one address's crowd and the whole
// crowd are reached with a few clients.
class LiveServerFewConnections : public LiveServer {
 protected:
  LiveServerFewConnections()
      : LiveServer({kHeadTimeLimit, kSendStallLimit, /*perAddress=*/2, /*total=*/4}) {}
};

TEST_F(LiveServerFewConnections, OverTheLimitsANewConnectionIsClosedAtOnceAndOthersAreServed) {
  // Every 127.x.y.z is this machine: clients from three addresses.
  constexpr std::uint32_t kOne = 0x7F000001, kTwo = 0x7F000002, kThree = 0x7F000003;
  const std::string get = "GET /none HTTP/1.1\r\n\r\n";
  std::vector<std::unique_ptr<tests::LoopbackClient>> idle;
  struct Step {
    const char* name;
    std::uint32_t source;
    bool held;             // an idle client that stays; otherwise one that asks something
    std::string expected;  // what the asking client gets: the answer, or "" (closed at once)
    std::size_t live;      // connections held afterwards
  };
  const Step steps[] = {
      {"first idle client of .1", kOne, true, "", 1},
      {"second idle client of .1: its address's cap", kOne, true, "", 2},
      {".1 once more: closed unanswered", kOne, false, "", 2},
      {".2 is served meanwhile", kTwo, false, kNotFoundPage, 2},
      {"first idle client of .2", kTwo, true, "", 3},
      {"second idle client of .2: all four taken", kTwo, true, "", 4},
      {".3, under its own cap but over the total: closed unanswered", kThree, false, "", 4},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.held) {
      idle.push_back(
          std::make_unique<tests::LoopbackClient>(port_, tests::kNetTimeLimit, step.source));
      ASSERT_TRUE(idle.back()->Connected());
    } else {
      tests::LoopbackClient client(port_, tests::kNetTimeLimit, step.source);
      ASSERT_TRUE(client.Connected());
      // Closed at once means before any head time limit, and without a byte. The send may
      // meet the close already.
      client.Send(get);
      const tests::Received received = client.ReceiveUntilClosed();
      EXPECT_NE(received.end, tests::Received::End::TimeLimit) << received.Describe();
      EXPECT_EQ(received.bytes, step.expected) << received.Describe();
    }
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == step.live; }))
        << connections_.Count() << " held";
  }
  // Each connection that ends gives its place back, to its own address and to the total.
  idle.erase(idle.begin());
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 3; }));
  EXPECT_EQ(Exchange(port_, {get}, false, 60, kThree), kNotFoundPage);
  // Its place is given back once its thread has unregistered it, just after the close.
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 3; }));
  EXPECT_EQ(Exchange(port_, {get}, false, 60, kOne), kNotFoundPage);
  idle.clear();
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
  for (std::uint32_t source : {kOne, kOne, kTwo, kTwo, kThree}) {
    EXPECT_EQ(Exchange(port_, {get}, false, 60, source), kNotFoundPage);
  }
}

// Where the listener is woken through a socket (Windows), that socket must not take a
// stranger's datagram for the stop: one datagram from any local program once made every
// later accept fail.
TEST_F(LiveServer, DatagramsToTheListenersWakeSocketChangeNothing) {
  const std::uint16_t wakePort = platform::ListenerWakePortForTesting(listener_);
  if (wakePort == 0) GTEST_SKIP() << "this system wakes its listener without a socket";
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // While a thread waits in accept: a byte like the stop's, and a large one.
    ASSERT_TRUE(tests::SendLoopbackDatagram(wakePort, std::string(1, '\0')));
    ASSERT_TRUE(tests::SendLoopbackDatagram(wakePort, std::string(2000, 'w')));
    EXPECT_EQ(Exchange(port_, {"GET /none HTTP/1.1\r\n\r\n"}), kNotFoundPage);
  }
  // TearDown's stop still wakes every accepting thread.
}

// The request log's view of each answer, as the native server's observer sees it.
class LiveServerObserved : public LiveServer {
 protected:
  struct Seen {
    std::uint32_t peer;
    ResponseSummary summary;
  };
  LiveServerObserved() {
    // Set before SetUp starts the accept loop.
    connections_.SetAnswerObserver([this](const Connection& connection) {
      std::lock_guard<std::mutex> guard(seenMutex_);
      seen_.push_back({connection.peer(), *connection.received.answered});
    });
  }
  std::vector<Seen> SeenSoFar() {
    std::lock_guard<std::mutex> guard(seenMutex_);
    return seen_;
  }
  std::mutex seenMutex_;
  std::vector<Seen> seen_;
};

TEST_F(LiveServerObserved, ABrokenDownloadIsSeenWithItsClientItsBytesSentAndAsIncomplete) {
  const std::int64_t size = 32LL << 20;  // far more than the socket buffers hold
  tests::WriteFileBytes(temp_.path() / "broken.bin",
                        std::string(static_cast<std::size_t>(size), 'b'));
  tests::WriteFileBytes(temp_.path() / "whole.bin", std::string(5000, 'w'));
  shares_.AppendShare((temp_.path() / "broken.bin").string(), "/broken", 0);
  shares_.AppendShare((temp_.path() / "whole.bin").string(), "/whole", 0);
  constexpr std::uint32_t kTwo = 0x7F000002;
  long long received = 0;
  {
    tests::LoopbackClient client(port_, tests::kNetTimeLimit, kTwo);
    ASSERT_TRUE(client.Send("GET /broken HTTP/1.1\r\n\r\n"));
    std::vector<char> buffer(1 << 16);
    // More than one piece of the body, then the client goes without reading the rest.
    while (received < kPieceSize + 4096) {
      const long long n = client.ReceiveSome(buffer.data(), buffer.size());
      ASSERT_GT(n, 0) << "after " << received << " bytes";
      received += n;
    }
  }
  ASSERT_TRUE(WaitFor([&] { return SeenSoFar().size() == 1; }));
  const std::string whole = Exchange(port_, {"GET /whole HTTP/1.1\r\n\r\n"});
  ASSERT_GT(whole.size(), 5000u);
  EXPECT_EQ(whole.substr(whole.size() - 5000), std::string(5000, 'w'));
  ASSERT_TRUE(WaitFor([&] { return SeenSoFar().size() == 2; }));
  const std::vector<Seen> seen = SeenSoFar();
  // The broken one: its client although it is gone, and what went out before it went
  // (a failed send counts whole pieces at least).
  EXPECT_EQ(seen[0].peer, kTwo);
  EXPECT_EQ(seen[0].summary.status, 200);
  EXPECT_TRUE(seen[0].summary.incomplete);
  EXPECT_GE(seen[0].summary.bodyBytes, kPieceSize);
  EXPECT_LT(seen[0].summary.bodyBytes, size);
  // The whole one: complete.
  EXPECT_EQ(seen[1].peer, 0x7F000001u);
  EXPECT_EQ(seen[1].summary.status, 200);
  EXPECT_FALSE(seen[1].summary.incomplete);
  EXPECT_EQ(seen[1].summary.bodyBytes, 5000);
}

using tests::MemoryStream;

TEST(ServeStream, DrivesTheWholeConnectionOverAnyStream) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    long long end;  // what Receive reports once the chunks are used up
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"head in one piece", {"GET /none HTTP/1.1\r\n\r\n"}, 0, kNotFoundPage},
      {"head split at the final CR", {"GET /none HTTP/1.1\r\n", "\r"}, 0, kNotFoundPage},
      {"no request line", {"Host: x\n\n"}, 0, kBadRequestPage},
      {"peer closes mid-head", {"GET /none HT"}, 0, ""},
      {"time limit mid-head", {"GET /none HTTP/1.1\r\n"}, -1, ""},
      {"head past the limit", {"GET / HTTP/1.1\r\n" + std::string(70000, 'h')}, 0, kBadRequestPage},
  };
  ShareRegistry shares;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream stream(c.chunks, c.end);
    ReceiveState state;
    ServeStream(stream, shares, state);
    EXPECT_EQ(stream.sent, c.expected);
    EXPECT_LE(state.capacity, kMaxHeadSize);
  }
}

// A head of exactly `size` bytes asking for `path`. Its lines end in bare line feeds, so
// that its end is seen only at its last byte.
std::string HeadOfSize(const std::string& path, std::size_t size) {
  const std::string start = "GET " + path + " HTTP/1.1\nX-Filler: ";
  const std::string end = "\n\n";
  return start + std::string(size - start.size() - end.size(), 'f') + end;
}

TEST(ServeStream, OneAnswerPerConnectionHoweverTheHeadArrives) {
  tests::ScopedTempDirectory dir;
  tests::WriteFileBytes("a.bin", "abc");
  ShareRegistry shares;
  shares.AppendShare((dir.path() / "a.bin").string(), "/a", 0);
  const std::string kFileAnswer =
      "HTTP/1.1 200 OK\r\nServer: Quillcast/1.0.0\r\nAccept-Ranges: bytes\r\n"
      "Content-Type: application/octet-stream\r\n" +
      tests::wire::ValidatorLines((dir.path() / "a.bin").string()) +
      "Content-Length: 3\r\nConnection: close\r\n\r\nabc";
  const std::string get = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  std::vector<std::string> byteByByte;
  for (char c : get) byteByByte.emplace_back(1, c);

  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    long long end;
    std::string expected;
    std::size_t unreadChunks;  // pipelined requests the loop never reads
  };
  const std::vector<Case> cases = {
      // Answered at CR LF CR: the final line feed is never read.
      {"one byte per receive", byteByByte, 0, kFileAnswer, 1},
      // Pipelined in one receive: the head's end is looked for at the last byte received,
      // so both heads are parsed as one and the first request line's target is answered.
      {"two heads in one receive", {get + "GET /none HTTP/1.1\r\n\r\n"}, 0, kFileAnswer, 0},
      {"two heads in two receives",
       {get, "GET /none HTTP/1.1\r\n\r\n", "GET /a HTTP/1.1\r\n\r\n"},
       0,
       kFileAnswer,
       2},
      {"the largest head", {HeadOfSize("/a", kMaxHeadSize - 1)}, 0, kFileAnswer, 0},
      {"the largest head sent in two parts",
       {HeadOfSize("/a", kMaxHeadSize - 1).substr(0, 40000),
        HeadOfSize("/a", kMaxHeadSize - 1).substr(40000)},
       0,
       kFileAnswer,
       0},
      // Refused once the buffer is full, before its last byte is read.
      {"one byte past the largest head", {HeadOfSize("/a", kMaxHeadSize)}, 0, kBadRequestPage, 1},
      {"peer closes after the request line", {"GET /a HTTP/1.1\r\n"}, 0, "", 0},
      {"error after the first byte", {"G"}, -1, "", 0},
      {"nothing at all", {}, 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream stream(c.chunks, c.end);
    ReceiveState state;
    ServeStream(stream, shares, state);
    EXPECT_EQ(stream.sent, c.expected);
    EXPECT_EQ(stream.UnreadChunks(), c.unreadChunks);
    EXPECT_FALSE(stream.askedForNothing);
    EXPECT_FALSE(stream.sentInvalid);
    EXPECT_EQ(state.answered.has_value(), !c.expected.empty());
    EXPECT_LE(state.capacity, kMaxHeadSize);
  }
}

}  // namespace
}  // namespace qc
