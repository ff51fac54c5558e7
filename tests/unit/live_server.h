// The fixture of the tests that talk to a real server: a listener on loopback with the
// accept loop on its own thread, over registries of the fixture's own.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "http/connection.h"
#include "platform/socket.h"
#include "shares/share_registry.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc::tests {

// Starts the socket library and a listener on 127.0.0.1 at a port of the system's choice.
// Returns the port, 0 when any step failed (the test then fails).
inline std::uint16_t StartLoopbackListener(platform::socket_t& listener) {
  platform::SocketLibraryStart();
  listener = platform::CreateTcpSocket();
  const bool listening =
      platform::BindIPv4(listener, 0x7F000001, 0) && platform::Listen(listener, 64);
  EXPECT_TRUE(listening) << "no listener on loopback";
  return listening ? LocalPort(listener) : 0;
}

// A real listener on loopback with the accept loop on its own thread.
class LiveServer : public ::testing::Test {
 protected:
  explicit LiveServer(ConnectionLimits limits = {}) : connections_(limits) {}
  void SetUp() override {
    port_ = StartLoopbackListener(listener_);
    ASSERT_NE(port_, 0);
    accept_ = std::thread([this] { AcceptLoop(listener_, connections_, shares_); });
  }
  // Also after a failed ASSERT_ in SetUp or in the test: the accept thread, if it was
  // started, is stopped and joined before the registries it uses go away.
  void TearDown() override {
    connections_.StopAllConnections();
    if (listener_ != platform::kInvalidSocket) {
      bool released = accept_.joinable() && platform::InterruptSocket(listener_);
      if (accept_.joinable()) accept_.join();
      if (!released) platform::CloseSocket(listener_);
    }
    EXPECT_EQ(connections_.Count(), 0u);
    platform::SocketLibraryStop();
  }

  // Outlives TearDown, so that no connection still holds a file in it when it goes.
  tests::ScopedTempDirectory temp_;
  ShareRegistry shares_;
  ConnectionRegistry connections_;
  platform::socket_t listener_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  std::thread accept_;
};

}  // namespace qc::tests
