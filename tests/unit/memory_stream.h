// A connection's stream over memory, for driving the whole receive loop without a socket.
// Shared by the unit tests and the connection fuzzer, so it includes no test framework.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "http/stream.h"

namespace qc::tests {

// Hands the client's bytes out one chunk per receive (as much of it as fits; the rest
// comes with the next receive), then reports `end`: 0 for a close, -1 for an error, the
// stop or a time limit. Keeps what is sent. Sends fail from the one that would pass
// `sendBudget` bytes on (-1: never), like a client that went away mid-answer.
class MemoryStream : public Stream {
 public:
  MemoryStream(std::vector<std::string> chunks, long long end, long long sendBudget = -1)
      : chunks_(std::move(chunks)), end_(end), sendBudget_(sendBudget) {}

  long long Receive(char* buffer, std::size_t size) override {
    ++receives;
    if (size == 0) askedForNothing = true;
    if (next_ == chunks_.size()) return end_;
    std::string& chunk = chunks_[next_];
    const std::size_t n = std::min(size, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) ++next_;
    return static_cast<long long>(n);
  }

  long long SendAll(const char* data, long long count) override {
    if (data == nullptr || count < 0) {
      sentInvalid = true;
      return -1;
    }
    if (sendFailed) return -1;
    if (sendBudget_ >= 0 && static_cast<long long>(sent.size()) + count > sendBudget_) {
      sendFailed = true;
      return -1;
    }
    sent.append(data, static_cast<std::size_t>(count));
    return count;
  }

  // Chunks the receive loop never asked for.
  std::size_t UnreadChunks() const { return chunks_.size() - next_; }

  std::string sent;
  bool sendFailed = false;
  int receives = 0;
  // A receive with no room in it: the loop must always leave room.
  bool askedForNothing = false;
  // A send from a null pointer or of a negative count.
  bool sentInvalid = false;

 private:
  std::vector<std::string> chunks_;
  std::size_t next_ = 0;
  long long end_;
  long long sendBudget_;
};

}  // namespace qc::tests
