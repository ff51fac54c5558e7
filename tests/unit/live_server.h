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

// A real listener on loopback with the accept loop on its own thread.
class LiveServer : public ::testing::Test {
 protected:
  explicit LiveServer(ConnectionLimits limits = {}) : connections_(limits) {}
  void SetUp() override {
    platform::SocketLibraryStart();
    listener_ = platform::CreateTcpSocket();
    ASSERT_TRUE(platform::BindIPv4(listener_, 0x7F000001, 0));
    ASSERT_TRUE(platform::Listen(listener_, 64));
    port_ = tests::LocalPort(listener_);
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
