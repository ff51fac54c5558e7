// Loopback clients for tests that talk to a real listening socket. Every send and receive
// has a time limit of a few seconds: a server that never answers (or never closes) fails
// the test that waits for it, with what arrived so far, instead of hanging the binary.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "unit/test_support.h"

namespace qc::tests {

// Long enough for a loaded machine and Wine, short against ctest's limits.
inline constexpr std::chrono::milliseconds kNetTimeLimit{5000};
// What a receive keeps; the rest is counted. No answer in these tests comes near it.
inline constexpr std::size_t kReceiveKeepBytes = std::size_t{1} << 20;

// What one receive-until-close brought.
struct Received {
  enum class End { Closed, Error, TimeLimit };
  std::string bytes;    // the first kReceiveKeepBytes bytes
  long long count = 0;  // every byte that arrived
  End end = End::Closed;

  bool Closed() const { return end == End::Closed; }
  // "closed after 198 bytes: ..." for failure messages.
  std::string Describe() const;
};

// One client connection to 127.0.0.1:port, closed with the object. Each send and each
// receive gives up after `limit`. `source`: the address it comes from (ConnectLoopback).
class LoopbackClient {
 public:
  explicit LoopbackClient(std::uint16_t port, std::chrono::milliseconds limit = kNetTimeLimit,
                          std::uint32_t source = 0);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool Connected() const { return socket_ != platform::kInvalidSocket; }
  // Sends every byte; false on an error or when the limit passes first.
  bool Send(std::string_view bytes);
  void ShutdownSend();
  // Sends `bytes` and closes, the close's FIN in the bytes' segment (TCP_CORK), so that
  // the server finds both at once and whatever it answers finds the client gone. False
  // when they may have left apart (elsewhere than on Linux nothing is sent).
  bool SendAndClose(std::string_view bytes);
  // One receive: bytes received, 0 when the server closed, -1 on an error or at the limit.
  long long ReceiveSome(char* buffer, std::size_t size);
  // Receives until the server closes, an error, or the limit passes (counted from the
  // call, whatever arrives meanwhile).
  Received ReceiveUntilClosed();

 private:
  platform::socket_t socket_ = platform::kInvalidSocket;
  std::chrono::milliseconds limit_;
};

// Sends each chunk with a pause between them (so they arrive as separate receives), then
// optionally half-closes, and returns every byte received until the server closes. When
// the connection fails, or the server neither answers nor closes in time, the test fails
// with what arrived, and a note is appended so that no expectation of an answer passes.
// The answer's Date is checked and marked (wire::Dated), as the expected answers hold it.
std::string Exchange(std::uint16_t port, const std::vector<std::string>& chunks,
                     bool halfCloseAfter = false, int pauseMs = 60, std::uint32_t source = 0);

}  // namespace qc::tests
