// Loopback clients for tests that talk to a real listening socket.
#pragma once
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace qc::testing {

// Sends each chunk with a pause between them (so they arrive as separate receives), then
// optionally half-closes, and returns every byte received until the server closes.
inline std::string Exchange(std::uint16_t port, const std::vector<std::string>& chunks,
                            bool halfCloseAfter = false, int pauseMs = 60) {
  platform::socket_t s = platform::ConnectLoopback(port);
  if (s == platform::kInvalidSocket) return "<connect failed>";
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    platform::Send(s, chunks[i].data(), chunks[i].size());
  }
  if (halfCloseAfter) platform::ShutdownSend(s);
  std::string out;
  char buffer[8192];
  for (;;) {
    long long n = platform::Receive(s, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  platform::CloseSocket(s);
  return out;
}

// Polls `condition` for up to `ms` milliseconds.
template <typename F>
bool WaitFor(F condition, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

}  // namespace qc::testing
