// What the native sockets rely on from the system.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/socket.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"

namespace qc {
namespace {

// Connections skip their own two setsockopt calls when the listener reports that accepted
// sockets come with both options: that must stay true of the system, or connections would
// lose their send time limit (a stalled client holding its thread for ever) and TCP_NODELAY.
TEST(AcceptedSockets, ComeWithTheListenersConnectionOptions) {
#ifndef __linux__
  GTEST_SKIP() << "only Linux copies the options";
#else
  platform::SocketLibraryStart();
  const platform::socket_t listener = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindIPv4(listener, 0x7F000001, 0));
  ASSERT_TRUE(platform::Listen(listener, 4));
  ASSERT_TRUE(platform::PrepareAcceptedSockets(listener, std::chrono::milliseconds(2345)));
  tests::LoopbackClient client(tests::LocalPort(listener));
  ASSERT_TRUE(client.Connected());
  const platform::socket_t accepted = platform::Accept(listener);
  ASSERT_NE(accepted, platform::kInvalidSocket);

  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(::getsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);
  timeval limit{};
  size = sizeof limit;
  ASSERT_EQ(::getsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &limit, &size), 0);
  // The kernel keeps it in clock ticks (up to 10 ms each), rounded up.
  const long long ms = limit.tv_sec * 1000LL + limit.tv_usec / 1000;
  EXPECT_GE(ms, 2345);
  EXPECT_LE(ms, 2355);

  platform::CloseSocket(accepted);
  platform::CloseSocket(listener);
  platform::SocketLibraryStop();
#endif
}

// The budget of connections is what both the descriptors and the memory allow: half of
// the descriptors the server's own leave (each connection may open its file), and no more
// connections than an eighth of the machine's memory holds when each keeps as much as it
// may at worst.
TEST(ConnectionBudget, IsWhatTheDescriptorsAndTheMemoryAllow) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_NE(limit.rlim_cur, RLIM_INFINITY);
  const std::size_t byDescriptors =
      limit.rlim_cur > 16 ? static_cast<std::size_t>((limit.rlim_cur - 16) / 2) : 1;
  const unsigned long long memory = static_cast<unsigned long long>(::sysconf(_SC_PHYS_PAGES)) *
                                    static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
  ASSERT_GT(memory, 0u);
  const struct {
    const char* name;
    std::size_t worstBytes;
    std::size_t expected;
  } cases[] = {
      {"connections that cost next to nothing: the descriptors", 1, byDescriptors},
      {"an eighth of the memory for three", static_cast<std::size_t>(memory / 8 / 3), 3},
      {"more than the whole memory each: still one", static_cast<std::size_t>(memory), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::ClientConnectionBudget(c.worstBytes), std::min(c.expected, byDescriptors));
  }
}

}  // namespace
}  // namespace qc
