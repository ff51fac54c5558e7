// Several threads accepting from one listener, as the server's acceptors do: whichever
// thread waits, a connection that comes while the thread that took the previous one is
// still serving it is accepted, early or late; and the stop ends every accept, the one
// waiting and the ones queued behind it, early or late.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"

namespace qc {
namespace {

using std::chrono::milliseconds;

// A listener on loopback, stopped and closed with the object once every accept it started
// has returned.
class Listener {
 public:
  Listener() {
    platform::SocketLibraryStart();
    socket_ = platform::CreateTcpSocket();
    listening_ = platform::BindIPv4(socket_, 0x7F000001, 0) && platform::Listen(socket_, 16);
    port_ = tests::LocalPort(socket_);
  }
  ~Listener() {
    if (!stopped_) Stop();
    for (auto& accept : accepts_) accept.wait();
    if (!released_) platform::CloseSocket(socket_);
    platform::SocketLibraryStop();
  }
  bool Listening() const { return listening_ && port_ != 0; }
  std::uint16_t Port() const { return port_; }

  // An accept on a thread of its own; the socket it returns is closed with the object.
  std::shared_future<platform::socket_t> StartAccept() {
    accepts_.push_back(
        std::async(std::launch::async, [this] { return platform::Accept(socket_); }).share());
    return accepts_.back();
  }
  // Waits for an accept without hanging the test; the socket stays open until the end, as
  // if it were still being served.
  platform::socket_t Await(const std::shared_future<platform::socket_t>& accept) {
    if (accept.wait_for(tests::kNetTimeLimit) != std::future_status::ready) {
      ADD_FAILURE() << "the accept did not return";
      Stop();  // so that the destructor's wait ends
      return platform::kInvalidSocket;
    }
    const platform::socket_t s = accept.get();
    if (s != platform::kInvalidSocket) held_.push_back(std::make_unique<Held>(s));
    return s;
  }
  // A client whose connection a thread took and serves on, never coming back to accept;
  // null (with a failure) if it was not taken.
  std::unique_ptr<tests::LoopbackClient> ServedClient() {
    auto accept = StartAccept();
    auto client = std::make_unique<tests::LoopbackClient>(Port());
    if (!client->Connected() || Await(accept) == platform::kInvalidSocket) {
      ADD_FAILURE() << "the first connection was not accepted";
      return nullptr;
    }
    return client;
  }
  void Stop() {
    stopped_ = true;
    released_ = platform::InterruptSocket(socket_);
  }

 private:
  struct Held {
    explicit Held(platform::socket_t s) : socket(s) {}
    ~Held() { platform::CloseSocket(socket); }
    platform::socket_t socket;
  };
  platform::socket_t socket_ = platform::kInvalidSocket;
  bool listening_ = false;
  std::uint16_t port_ = 0;
  bool stopped_ = false;
  bool released_ = false;
  std::vector<std::unique_ptr<Held>> held_;  // closed before the listener
  std::vector<std::shared_future<platform::socket_t>> accepts_;
};

// How long after the previous accept the next event comes: at once (the next acceptor may
// still be waiting for the thread that serves to come back) or well after that.
constexpr int kPausesMs[] = {0, 120};

TEST(AcceptTurns, AConnectionWhileThePreviousOneIsServedIsAccepted) {
  for (int pauseMs : kPausesMs) {
    SCOPED_TRACE("after " + std::to_string(pauseMs) + " ms");
    Listener listener;
    ASSERT_TRUE(listener.Listening());
    const auto one = listener.ServedClient();
    ASSERT_NE(one, nullptr);
    auto second = listener.StartAccept();
    std::this_thread::sleep_for(milliseconds(pauseMs));
    tests::LoopbackClient two(listener.Port());
    ASSERT_TRUE(two.Connected());
    EXPECT_NE(listener.Await(second), platform::kInvalidSocket);
    // And once more, with both of the others serving.
    auto third = listener.StartAccept();
    std::this_thread::sleep_for(milliseconds(pauseMs));
    tests::LoopbackClient three(listener.Port());
    ASSERT_TRUE(three.Connected());
    EXPECT_NE(listener.Await(third), platform::kInvalidSocket);
  }
}

// A thread back from serving while the next one waits: with a client already there or
// with none yet (it then queues behind the waiting one), two clients get the two accepts.
TEST(AcceptTurns, AThreadBackFromServingAndTheWaitingOneEachGetAClient) {
  for (bool clientFirst : {true, false}) {
    SCOPED_TRACE(clientFirst ? "a client waits" : "no client yet");
    Listener listener;
    ASSERT_TRUE(listener.Listening());
    const auto one = listener.ServedClient();
    ASSERT_NE(one, nullptr);
    auto waiting = listener.StartAccept();
    std::unique_ptr<tests::LoopbackClient> two;
    if (clientFirst) two = std::make_unique<tests::LoopbackClient>(listener.Port());
    auto back = listener.StartAccept();
    std::this_thread::sleep_for(milliseconds(30));
    if (!clientFirst) two = std::make_unique<tests::LoopbackClient>(listener.Port());
    tests::LoopbackClient three(listener.Port());
    ASSERT_TRUE(two->Connected());
    ASSERT_TRUE(three.Connected());
    EXPECT_NE(listener.Await(waiting), platform::kInvalidSocket);
    EXPECT_NE(listener.Await(back), platform::kInvalidSocket);
  }
}

TEST(AcceptTurns, TheStopEndsTheWaitingAcceptAndTheQueuedOnes) {
  for (int pauseMs : kPausesMs) {
    SCOPED_TRACE("stopped after " + std::to_string(pauseMs) + " ms");
    Listener listener;
    ASSERT_TRUE(listener.Listening());
    const auto one = listener.ServedClient();
    ASSERT_NE(one, nullptr);
    std::vector<std::shared_future<platform::socket_t>> waiting;
    for (int i = 0; i < 3; ++i) waiting.push_back(listener.StartAccept());
    std::this_thread::sleep_for(milliseconds(pauseMs));
    listener.Stop();
    for (const auto& accept : waiting) EXPECT_EQ(listener.Await(accept), platform::kInvalidSocket);
    // For good: an accept that begins after the stop fails as well, with a client waiting.
    tests::LoopbackClient late(listener.Port());
    EXPECT_EQ(listener.Await(listener.StartAccept()), platform::kInvalidSocket);
  }
}

}  // namespace
}  // namespace qc
