// Connections that have not finished their heads, in numbers: they must neither hold up
// anyone else's answer, nor outlive the head time limit however they trickle, nor keep a
// recipient out when the budget is full, nor hold up the stop. Natively they wait in the
// readiness loop; on Windows each still waits on a thread of its own, and the same holds.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "unit/live_server.h"
#include "unit/net_support.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

using std::chrono::milliseconds;
using tests::Exchange;
using tests::LoopbackClient;
using tests::WaitFor;
using tests::wire::kNotFoundPage;

// Clients from many addresses (every 127.x.y.z is this machine), each well under the cap
// per address.
constexpr int kClientsPerAddress = 40;
std::uint32_t CrowdAddress(int i) {
  return 0x7F000000u + (2u << 8) + 2u + static_cast<std::uint32_t>(i / kClientsPerAddress);
}

std::vector<std::unique_ptr<LoopbackClient>> ConnectCrowd(std::uint16_t port, int count,
                                                          const std::string& says) {
  std::vector<std::unique_ptr<LoopbackClient>> crowd;
  for (int i = 0; i < count; ++i) {
    crowd.push_back(std::make_unique<LoopbackClient>(port, tests::kNetTimeLimit, CrowdAddress(i)));
    if (!crowd.back()->Connected() || (!says.empty() && !crowd.back()->Send(says))) {
      ADD_FAILURE() << "client " << i << " could not connect and say " << says;
      break;
    }
  }
  return crowd;
}

using tests::LiveServer;

// What each client of the crowd has said when it stops.
const char* const kHalfSaid[] = {"", "GET /none HT", "GET /none HTTP/1.1\r\nHost: x\r\n"};

// A crowd that stops halfway through its heads holds neither a download nor the crowd's
// own answers back: each head is kept as far as it came, and once its client says the
// rest it is answered.
TEST_F(LiveServer, ACrowdOfHalfHeadsDoesNotHoldUpADownload) {
  constexpr int kCrowd = 200;
  const std::string body(256 << 10, 'd');
  tests::WriteFileBytes(temp_.path() / "beside.bin", body);
  shares_.AppendShare((temp_.path() / "beside.bin").string(), "/beside", 0);
  for (const std::string said : kHalfSaid) {
    SCOPED_TRACE(::testing::PrintToString(said));
    auto crowd = ConnectCrowd(port_, kCrowd, said);
    ASSERT_EQ(crowd.size(), static_cast<std::size_t>(kCrowd));
    ASSERT_TRUE(WaitFor([&] { return connections_.Count() == kCrowd; }))
        << connections_.Count() << " held";
    // From an address of none of the crowd's.
    LoopbackClient download(port_, tests::kNetTimeLimit, 0x7F010001);
    ASSERT_TRUE(download.Send("GET /beside HTTP/1.1\r\n\r\n"));
    const tests::Received got = download.ReceiveUntilClosed();
    ASSERT_TRUE(got.Closed()) << got.Describe();
    ASSERT_GE(got.bytes.size(), body.size());
    EXPECT_EQ(got.bytes.substr(got.bytes.size() - body.size()), body);
    // The whole crowd still waits, each with what it said so far.
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == kCrowd; }))
        << connections_.Count() << " held";
    const std::string head = "GET /none HTTP/1.1\r\nHost: x\r\n\r\n";
    for (auto& client : crowd) {
      ASSERT_TRUE(client->Send(head.substr(said.size())));
    }
    for (std::size_t i = 0; i < crowd.size(); ++i) {
      const tests::Received answer = crowd[i]->ReceiveUntilClosed();
      ASSERT_TRUE(answer.Closed()) << "client " << i << ": " << answer.Describe();
      EXPECT_EQ(tests::wire::Dated(answer.bytes), kNotFoundPage) << "client " << i;
      crowd[i].reset();  // so that the server's linger ends at once
    }
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
  }
}

// The stop closes every connection still waiting for its head, whatever it said, without
// an answer, and returns once they are all gone.
TEST_F(LiveServer, TheStopClosesACrowdOfUnfinishedHeads) {
  constexpr int kCrowd = 200;
  std::vector<std::unique_ptr<LoopbackClient>> crowd;
  for (int i = 0; i < kCrowd; ++i) {
    crowd.push_back(std::make_unique<LoopbackClient>(port_, tests::kNetTimeLimit, CrowdAddress(i)));
    ASSERT_TRUE(crowd.back()->Connected());
    const std::string said = kHalfSaid[i % 3];
    if (!said.empty()) {
      ASSERT_TRUE(crowd.back()->Send(said));
    }
  }
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == kCrowd; }))
      << connections_.Count() << " held";
  connections_.StopAllConnections();
  EXPECT_EQ(connections_.Count(), 0u);
  for (std::size_t i = 0; i < crowd.size(); ++i) {
    const tests::Received received = crowd[i]->ReceiveUntilClosed();
    EXPECT_EQ(received.count, 0) << "client " << i << ": " << received.Describe();
    EXPECT_NE(received.end, tests::Received::End::TimeLimit)
        << "client " << i << ": " << received.Describe();
  }
}

class LiveServerShortHeadLimit : public LiveServer {
 protected:
  static constexpr milliseconds kHead{400};
  LiveServerShortHeadLimit() : LiveServer({kHead, kSendStallLimit}) {}
};

// A head that keeps arriving a byte at a time still ends at the limit, counted from the
// connect: every byte is news, but none of them buys more time.
TEST_F(LiveServerShortHeadLimit, AHeadThatTricklesEndsAtTheLimit) {
  struct Case {
    const char* name;
    milliseconds pause;  // between bytes
  };
  const Case cases[] = {{"a byte every 20 ms", milliseconds(20)},
                        {"a byte every 150 ms", milliseconds(150)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each receive waits for one pause: the time between two bytes.
    LoopbackClient client(port_, c.pause);
    ASSERT_TRUE(client.Connected());
    const auto started = std::chrono::steady_clock::now();
    // A head that never ends: far more bytes than the limit lets through at this pace.
    const std::string trickle = "GET /none HTTP/1.1\r\nX-Slow: " + std::string(400, 's');
    bool closed = false;
    std::size_t sent = 0;
    for (; sent < trickle.size(); ++sent) {
      if (!client.Send(trickle.substr(sent, 1))) {
        closed = true;  // the server closed (a reset reaches the send)
        break;
      }
      const auto before = std::chrono::steady_clock::now();
      char byte = 0;
      const long long n = client.ReceiveSome(&byte, 1);
      ASSERT_LE(n, 0) << "answered a head that never ended";
      // 0: closed in order; a failure well before the receive's own time limit: reset.
      if (n == 0 || std::chrono::steady_clock::now() - before < c.pause / 2) {
        closed = true;
        break;
      }
    }
    ASSERT_TRUE(closed) << "still open after " << sent << " bytes";
    EXPECT_GE(std::chrono::steady_clock::now() - started, kHead - milliseconds(50));
    EXPECT_LT(sent, trickle.size());
  }
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

// A budget of four connections and no cap per address worth the name.
class LiveServerFourPlaces : public LiveServer {
 protected:
  LiveServerFourPlaces()
      : LiveServer({kHeadTimeLimit, kSendStallLimit, /*perAddress=*/64, /*total=*/4}) {}
};

// When the budget is full, the oldest head still unfinished makes room for a new
// connection, whatever part of its head it has sent; an older head that has ended is
// being answered and keeps its place.
TEST_F(LiveServerFourPlaces, TheOldestUnfinishedHeadMakesRoom) {
  const std::string get = "GET /none HTTP/1.1\r\n\r\n";
  enum class Act {
    Hold,    // a client connects, says `bytes` and waits
    Ask,     // a client connects and asks; `held` is closed unanswered to make room
    Finish,  // held client `held` says the rest of its head, `bytes`, and is answered
  };
  struct Step {
    const char* name;
    Act act;
    std::string bytes;
    int held;  // in the order the held clients connected; -1: none
  };
  const Step steps[] = {
      {"hold with half a request line", Act::Hold, "GET /none HT", -1},
      {"hold with nothing said", Act::Hold, "", -1},
      {"hold with the request line", Act::Hold, "GET /none HTTP/1.1\r\n", -1},
      {"hold with one byte", Act::Hold, "G", -1},
      {"a newcomer takes the first one's place", Act::Ask, get, 0},
      {"the second finishes its head and is answered", Act::Finish, get, 1},
      {"two more fill the budget again", Act::Hold, "GET /", -1},
      {"and the fourth place", Act::Hold, "", -1},
      {"a newcomer takes the third one's place, not the newer ones'", Act::Ask, get, 2},
      {"the fourth finishes its head and is answered", Act::Finish, "ET /none HTTP/1.1\r\n\r\n", 3},
  };
  std::vector<std::unique_ptr<LoopbackClient>> held;
  std::size_t live = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    switch (step.act) {
      case Act::Hold:
        held.push_back(std::make_unique<LoopbackClient>(port_));
        ASSERT_TRUE(held.back()->Connected());
        if (!step.bytes.empty()) {
          ASSERT_TRUE(held.back()->Send(step.bytes));
        }
        ++live;
        break;
      case Act::Ask: {
        EXPECT_EQ(Exchange(port_, {step.bytes}), kNotFoundPage);
        const tests::Received closed =
            held[static_cast<std::size_t>(step.held)]->ReceiveUntilClosed();
        EXPECT_EQ(closed.count, 0) << closed.Describe();
        EXPECT_NE(closed.end, tests::Received::End::TimeLimit) << closed.Describe();
        --live;
        break;
      }
      case Act::Finish: {
        auto& client = held[static_cast<std::size_t>(step.held)];
        ASSERT_TRUE(client->Send(step.bytes));
        const tests::Received answer = client->ReceiveUntilClosed();
        EXPECT_EQ(tests::wire::Dated(answer.bytes), kNotFoundPage) << answer.Describe();
        client.reset();  // so that the server's linger ends at once
        --live;
        break;
      }
    }
    // In this order: the queue of heads is the order of the accepts.
    ASSERT_TRUE(WaitFor([&] { return connections_.Count() == live; }))
        << connections_.Count() << " held";
  }
  held.clear();
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

// A linger longer than any answer below is waited for.
class LiveServerLongLinger : public LiveServer {
 protected:
  LiveServerLongLinger()
      : LiveServer({kHeadTimeLimit, kSendStallLimit, kMaxConnectionsPerAddress, /*total=*/0,
                    /*linger=*/std::chrono::minutes(1)}) {}
};

// A client that has its answer and does not close holds the server's close of its
// connection for the linger's length, and no one else: the next clients, one after
// another, are answered meanwhile (natively the thread that finds a head answers it while
// another waits for the next).
TEST_F(LiveServerLongLinger, AClientThatDoesNotCloseHoldsUpNoOneElse) {
  tests::WriteFileBytes(temp_.path() / "small.bin", std::string(1000, 's'));
  shares_.AppendShare((temp_.path() / "small.bin").string(), "/small", 0);
  const char* const asks[] = {"GET /none HTTP/1.1\r\n\r\n", "GET /small HTTP/1.1\r\n\r\n",
                              "HEAD /small HTTP/1.1\r\n\r\n"};
  std::vector<std::unique_ptr<LoopbackClient>> holding;
  for (const char* ask : asks) {
    SCOPED_TRACE(ask);
    holding.push_back(std::make_unique<LoopbackClient>(port_));
    ASSERT_TRUE(holding.back()->Send(ask));
    // Its answer, and the end the server's shutdown tells; the client stays.
    const tests::Received answer = holding.back()->ReceiveUntilClosed();
    ASSERT_TRUE(answer.Closed()) << answer.Describe();
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Exchange(port_, {"GET /none HTTP/1.1\r\n\r\n"}), kNotFoundPage) << "client " << i;
    }
    // Every holding client is still held: the answers above came during their lingers.
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == holding.size(); }))
        << connections_.Count() << " held";
  }
  holding.clear();  // so that the server's lingers end at once
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

// A lingering close ends when its client closes, even with no other client to wake the
// server: its first look is timed, not left to the next connection.
TEST_F(LiveServerLongLinger, AClosingClientEndsItsConnectionWithNoOtherClient) {
  tests::WriteFileBytes(temp_.path() / "small.bin", std::string(1000, 's'));
  shares_.AppendShare((temp_.path() / "small.bin").string(), "/small", 0);
  const std::string answer = Exchange(port_, {"GET /small HTTP/1.1\r\n\r\n"});
  ASSERT_GT(answer.size(), 1000u);
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }))
      << connections_.Count() << " held";
  EXPECT_EQ(shares_.FindShare("/small")->Tally().completed, 1u);
}

// The buffer of a head grows only as the head arrives: a connection that said nothing holds
// none, and each step is taken only once the one before is full.
TEST(ReceiveBuffer, GrowsOnlyAsTheHeadArrives) {
  struct Case {
    std::vector<std::int32_t> receives;  // bytes each receive brings
    std::int32_t capacity;               // the buffer's size afterwards
  };
  const Case cases[] = {
      {{}, 0},
      {{1}, kReceiveStep},
      {{kReceiveStep - 1}, kReceiveStep},
      {{kReceiveStep - 1, 1}, 2 * kReceiveStep},
      {{300, 300, 300, 300}, 2 * kReceiveStep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.receives));
    ReceiveState state;
    for (std::int32_t count : c.receives) {
      const std::size_t room = ReceiveRoom(state);
      ASSERT_GT(room, 0u) << "no room while the head is incomplete";
      const std::int32_t taken = std::min(count, static_cast<std::int32_t>(room));
      std::fill_n(state.buffer.begin() + state.length, taken, 'x');
      std::int32_t headLength = 0;
      EXPECT_EQ(TakeReceived(state, taken, headLength), HeadState::Incomplete);
      if (taken < count) {
        // The rest of this receive comes in the next one.
        ReceiveRoom(state);
        std::fill_n(state.buffer.begin() + state.length, count - taken, 'x');
        EXPECT_EQ(TakeReceived(state, count - taken, headLength), HeadState::Incomplete);
      }
    }
    EXPECT_EQ(state.capacity, c.capacity);
    EXPECT_EQ(state.buffer.size(), static_cast<std::size_t>(c.capacity));
  }
}

}  // namespace
}  // namespace qc
