// Heads parked by the threads that accept (the Windows build's way; natively the same
// loops run over epoll): spread over several loops, each must still be answered once its
// head ends, closed at the head limit, given up for a newer connection at once, and
// closed by the stop, whichever loop holds it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "http/head_loop.h"
#include "platform/socket.h"
#include "shares/share_registry.h"
#include "unit/live_server.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

using std::chrono::milliseconds;
using tests::LoopbackClient;
using tests::WaitFor;

// Few heads per loop, so that a handful of clients already spreads over several loops.
constexpr std::size_t kHeadsPerLoop = 3;
// Short against the test's client time limits, long against parking ten heads: under Wine
// with the other test lanes beside it, parking them took more than half a second, and the
// heads that were to end were closed by the limit first.
constexpr milliseconds kShortHead{2000};

struct Setting {
  const char* name;
  ConnectionLimits limits;
};

class ParkedHeadsTest : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override {
    port_ = tests::StartLoopbackListener(listener_);
    ASSERT_NE(port_, 0);
    // After the socket library's start: the loops' wake-up is a socket.
    parked_ = std::make_unique<ParkedHeads>(connections_, shares_, kHeadsPerLoop);
  }
  void TearDown() override {
    connections_.StopAllConnections();
    parked_.reset();
    clients_.clear();
    platform::CloseSocket(listener_);
    EXPECT_EQ(connections_.Count(), 0u);
    platform::SocketLibraryStop();
  }

  // A client connects and says `says`; its connection is accepted, registered and parked
  // as an accepting thread would. False when any step failed.
  bool ConnectAndPark(const std::string& says) {
    clients_.push_back(std::make_unique<LoopbackClient>(port_));
    if (!clients_.back()->Connected()) return false;
    int error = 0;
    std::uint32_t peer = 0;
    const platform::socket_t s = platform::Accept(listener_, &error, &peer);
    if (s == platform::kInvalidSocket) return false;
    ConnectionPtr connection = connections_.RegisterConnection(s, peer);
    if (!connection) {
      platform::CloseSocket(s);
      return false;
    }
    if ((says.empty() || clients_.back()->Send(says)) && parked_->Park(connection)) return true;
    EndConnection(connections_, connection);  // else the stop would wait for it
    return false;
  }

  ShareRegistry shares_;
  ConnectionRegistry connections_{GetParam().limits};
  std::unique_ptr<ParkedHeads> parked_;
  platform::socket_t listener_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  std::vector<std::unique_ptr<LoopbackClient>> clients_;
};

const std::string kGet = "GET /none HTTP/1.1\r\n\r\n";

// Ten clients over four loops; every other one ends its head later and is answered, the
// rest wait for the limit (closed unanswered) or the stop.
TEST_P(ParkedHeadsTest, EveryLoopAnswersItsHeadsAndClosesTheRest) {
  const bool shortLimit = GetParam().limits.head == kShortHead;
  constexpr int kClients = 10;
  for (int i = 0; i < kClients; ++i) {
    ASSERT_TRUE(ConnectAndPark(i % 2 == 0 ? "GET /no" : "")) << "client " << i;
  }
  EXPECT_EQ(parked_->LoopCount(), (kClients + kHeadsPerLoop - 1) / kHeadsPerLoop);
  for (int i = 0; i < kClients; i += 2) {
    ASSERT_TRUE(clients_[static_cast<std::size_t>(i)]->Send(kGet.substr(7)));
    const tests::Received answer = clients_[static_cast<std::size_t>(i)]->ReceiveUntilClosed();
    EXPECT_EQ(tests::wire::Dated(answer.bytes), tests::wire::kNotFoundPage)
        << "client " << i << ": " << answer.Describe();
    clients_[static_cast<std::size_t>(i)].reset();  // so that the server's linger ends
  }
  if (!shortLimit) {
    EXPECT_TRUE(WaitFor([&] { return connections_.Count() == kClients / 2; }))
        << connections_.Count() << " held";
    connections_.StopAllConnections();
    EXPECT_EQ(connections_.Count(), 0u);
  }
  for (int i = 1; i < kClients; i += 2) {
    const tests::Received closed = clients_[static_cast<std::size_t>(i)]->ReceiveUntilClosed();
    EXPECT_EQ(closed.count, 0) << "client " << i << ": " << closed.Describe();
    EXPECT_NE(closed.end, tests::Received::End::TimeLimit)
        << "client " << i << ": " << closed.Describe();
  }
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }));
}

// A full budget gives the oldest parked head up for a newcomer at once, though it waits
// in another loop than the newcomer's and its limit is far off.
using ParkedHeadsBudgetTest = ParkedHeadsTest;
TEST_P(ParkedHeadsBudgetTest, AFullBudgetGivesTheOldestParkedHeadUpAtOnce) {
  const std::size_t budget = GetParam().limits.total;
  for (std::size_t i = 0; i < budget; ++i) {
    ASSERT_TRUE(ConnectAndPark("GET /")) << "client " << i;
  }
  ASSERT_TRUE(ConnectAndPark(""));  // the newcomer, in the last loop
  // Closed within the client's few seconds, not at the head limit's minute.
  const tests::Received closed = clients_.front()->ReceiveUntilClosed();
  EXPECT_EQ(closed.count, 0) << closed.Describe();
  EXPECT_NE(closed.end, tests::Received::End::TimeLimit) << closed.Describe();
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == budget; }))
      << connections_.Count() << " held";
}

// A crowd's extra loops end once they have held nothing for their lifetime: the first loop
// stays, a loop with a head still waiting stays (also when another of its heads ends long
// after the last park), and heads parked afterwards start loops again as needed.
using ParkedHeadsCrowdTest = ParkedHeadsTest;
TEST_P(ParkedHeadsCrowdTest, ExtraLoopsEndOnceIdleAndTheFirstStays) {
  constexpr milliseconds kLifetime{300};
  parked_.reset();
  parked_ = std::make_unique<ParkedHeads>(connections_, shares_, kHeadsPerLoop, kLifetime);
  auto answerClient = [&](std::size_t i) {
    ASSERT_TRUE(clients_[i]->Send(kGet));
    const tests::Received answer = clients_[i]->ReceiveUntilClosed();
    EXPECT_EQ(tests::wire::Dated(answer.bytes), tests::wire::kNotFoundPage)
        << "client " << i << ": " << answer.Describe();
  };
  // Three loops: heads 0-2, 3-5, 6-7.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(ConnectAndPark("")) << "client " << i;
  ASSERT_EQ(parked_->LoopCount(), 3u);
  for (std::size_t i = 0; i < 6; ++i) answerClient(i);
  EXPECT_TRUE(WaitFor([&] { return parked_->LoopCount() == 2; })) << parked_->LoopCount();
  std::this_thread::sleep_for(kLifetime * 3);
  answerClient(6);
  EXPECT_EQ(parked_->LoopCount(), 2u) << "a loop with a head waiting ended";
  answerClient(7);
  EXPECT_TRUE(WaitFor([&] { return parked_->LoopCount() == 1; })) << parked_->LoopCount();
  // The next crowd is served as the first was.
  const std::size_t first = clients_.size();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(ConnectAndPark("")) << "client " << first + i;
  EXPECT_EQ(parked_->LoopCount(), 2u);
  for (std::size_t i = first; i < clients_.size(); ++i) answerClient(i);
}

std::string SettingName(const ::testing::TestParamInfo<Setting>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(ParkedHeads, ParkedHeadsTest,
                         ::testing::Values(Setting{"the stop", {}},
                                           Setting{"a short head limit",
                                                   {kShortHead, kSendStallLimit}}),
                         SettingName);
INSTANTIATE_TEST_SUITE_P(ParkedHeads, ParkedHeadsBudgetTest,
                         ::testing::Values(Setting{"a budget of seven",
                                                   {kHeadTimeLimit, kSendStallLimit,
                                                    /*perAddress=*/64, /*total=*/7}}),
                         SettingName);

INSTANTIATE_TEST_SUITE_P(ParkedHeads, ParkedHeadsCrowdTest,
                         ::testing::Values(Setting{"the stop", {}}), SettingName);

}  // namespace
}  // namespace qc
