// What the Windows connections rely on from Winsock (and Wine): a socket accepted from the
// server's listener is already non-blocking and sends with TCP_NODELAY, so no connection
// sets either again. Should that stop being true, a connection would block in a receive
// the stop cannot end, or hold back its last segment for the client's delayed ACK.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/os_windows.h"
#include "platform/socket.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"

namespace qc {
namespace {

TEST(AcceptedSockets, ComeNonBlockingWithTheListenersNoDelay) {
  ASSERT_TRUE(platform::SocketLibraryStart());
  const platform::socket_t listener = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindIPv4(listener, 0x7F000001, 0));
  ASSERT_TRUE(platform::Listen(listener, 4));
  ASSERT_TRUE(platform::PrepareAcceptedSockets(listener, std::chrono::milliseconds(2345)));
  tests::LoopbackClient client(tests::LocalPort(listener));
  ASSERT_TRUE(client.Connected());
  const platform::socket_t accepted = platform::Accept(listener);
  ASSERT_NE(accepted, platform::kInvalidSocket);

  BOOL noDelay = FALSE;
  int size = sizeof noDelay;
  ASSERT_EQ(
      ::getsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &size),
      0);
  EXPECT_NE(noDelay, FALSE);
  // Nothing was sent: a blocking socket would wait here for ever.
  char byte = 0;
  EXPECT_EQ(::recv(accepted, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

  platform::CloseSocket(accepted);
  platform::CloseSocket(listener);
  platform::SocketLibraryStop();
}

}  // namespace
}  // namespace qc
