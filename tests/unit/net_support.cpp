#include "unit/net_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#ifdef __linux__
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc::tests {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Remaining(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

}  // namespace

std::string Received::Describe() const {
  const char* how = end == End::Closed  ? "closed by the server"
                    : end == End::Error ? "ended by an error"
                                        : "no close within the time limit";
  return std::string(how) + " after " + std::to_string(count) + " bytes: " + Excerpt(bytes);
}

LoopbackClient::LoopbackClient(std::uint16_t port, std::chrono::milliseconds limit,
                               std::uint32_t source)
    : socket_(tests::ConnectLoopback(port, source)), limit_(limit) {
  if (Connected()) SetSocketTimeLimit(socket_, limit_);
}

LoopbackClient::~LoopbackClient() {
  if (Connected()) platform::CloseSocket(socket_);
}

bool LoopbackClient::Send(std::string_view bytes) {
  if (!Connected()) return false;
  const auto deadline = Clock::now() + limit_;
  while (!bytes.empty()) {
    if (Remaining(deadline).count() <= 0) return false;
    SetSocketTimeLimit(socket_, Remaining(deadline));
    const long long n = platform::Send(socket_, bytes.data(), bytes.size());
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void LoopbackClient::ShutdownSend() {
  if (Connected()) platform::ShutdownSend(socket_);
}

bool LoopbackClient::SendAndClose(std::string_view bytes) {
#ifdef __linux__
  // Corked, the bytes wait for a full segment, and the close's FIN joins them; unless the
  // cork's 200 ms ceiling passed first (a loaded machine): then they left alone.
  const int on = 1;
  if (!Connected() || ::setsockopt(socket_, IPPROTO_TCP, TCP_CORK, &on, sizeof on) != 0 ||
      !Send(bytes)) {
    return false;
  }
  int unsent = 0;
  const bool waiting =
      ::ioctl(socket_, SIOCOUTQNSD, &unsent) == 0 && unsent == static_cast<int>(bytes.size());
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
  return waiting;
#else
  (void)bytes;
  return false;
#endif
}

long long LoopbackClient::ReceiveSome(char* buffer, std::size_t size) {
  if (!Connected()) return -1;
  SetSocketTimeLimit(socket_, limit_);
  return platform::Receive(socket_, buffer, size);
}

Received LoopbackClient::ReceiveUntilClosed() {
  Received received;
  if (!Connected()) {
    received.end = Received::End::Error;
    return received;
  }
  const auto deadline = Clock::now() + limit_;
  char buffer[16384];
  for (;;) {
    const auto left = Remaining(deadline);
    if (left.count() <= 0) {
      received.end = Received::End::TimeLimit;
      break;
    }
    SetSocketTimeLimit(socket_, left);
    const long long n = platform::Receive(socket_, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      received.end =
          Remaining(deadline).count() <= 0 ? Received::End::TimeLimit : Received::End::Error;
      break;
    }
    received.count += n;
    const std::size_t room = kReceiveKeepBytes - std::min(kReceiveKeepBytes, received.bytes.size());
    received.bytes.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  return received;
}

std::string Exchange(std::uint16_t port, const std::vector<std::string>& chunks,
                     bool halfCloseAfter, int pauseMs, std::uint32_t source) {
  LoopbackClient client(port, kNetTimeLimit, source);
  if (!client.Connected()) {
    ADD_FAILURE() << "No connection to 127.0.0.1:" << port;
    return "<connect failed>";
  }
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (!client.Send(chunks[i])) {
      // The server may have answered and closed early (a head too long); what it sent
      // is still worth reading.
      break;
    }
  }
  if (halfCloseAfter) client.ShutdownSend();
  const Received received = client.ReceiveUntilClosed();
  if (received.end == Received::End::TimeLimit) {
    ADD_FAILURE() << "The server neither answered nor closed the connection within "
                  << kNetTimeLimit.count() << " ms: " << received.Describe();
    return received.bytes + "<no close within the time limit>";
  }
  if (received.count > static_cast<long long>(received.bytes.size())) {
    return received.bytes + "<and " + std::to_string(received.count - received.bytes.size()) +
           " more bytes>";
  }
  return wire::Dated(received.bytes);
}

}  // namespace qc::tests
