// A two-way byte stream under one connection: what the receive loop reads the head from
// and the response writer sends through. The connection implements it over its socket;
// the fuzzer and tests drive a whole connection over memory.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace qc {

namespace platform {
class File;
}

// What comes after the bytes a delivery wait is for.
enum class DeliveryWait {
  MoreFollows,     // another piece: the socket stays set up for it
  Last,            // nothing: the close comes next
  WholeInOneSend,  // nothing, and the whole answer, head and body, left in one send
};

// The sending half, which is all the response writer needs. Tests capture through it.
class ResponseSink {
 public:
  ResponseSink() = default;
  // A copy (tests return their sinks) counts its own bytes from 0.
  ResponseSink(const ResponseSink& /*other*/) {}
  ResponseSink& operator=(const ResponseSink& /*other*/) { return *this; }
  virtual ~ResponseSink() = default;
  // Sends all `count` bytes; returns `count`, or -1 when a send failed.
  virtual long long SendAll(const char* data, long long count) = 0;
  // Sends `count` bytes of `file` from `offset`. Returns the count that went out: less
  // than `count` when the file yielded fewer bytes (only bytes read are ever sent) or a
  // send failed (what went out before it still counts: the request log shows what a
  // broken download got). Leaves the file position anywhere. This default reads into a
  // buffer of up to kPieceSize bytes and sends through SendAll, counting whole pieces; a
  // socket overrides it with the system's zero-copy call.
  virtual long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count);
  // Returns once everything sent so far has reached the client and been acknowledged by
  // it, true; false when that did not happen within the send stall limit, the client is
  // gone, or the server stops. The one-shot rule waits for it before the last piece: a
  // client that takes part of a download and goes must not use the share up with bytes
  // that were only queued for it. `wait` tells what follows: the socket is set up for
  // later sends only when more does, and an answer that left in one send may be proven by
  // the client's close alone (see Connection). This default (memory) has nothing in flight.
  virtual bool WaitUntilDelivered(DeliveryWait /*wait*/) { return true; }
  // For an answer that left in one send, where the client's close can be awaited after
  // the writer has returned (the readiness loop waits for it beside every other
  // connection): takes `count`, which the connection runs once the close has proven the
  // answer delivered (it returns whether the download was counted), and returns true; the
  // writer then counts nothing itself. False, `count` untouched (this default): the
  // writer waits for the delivery itself (WaitUntilDelivered).
  virtual bool CountOnceDelivered(std::function<bool()>& /*count*/) { return false; }

  // Bytes handed to the system so far, read by other threads (the panel's progress of the
  // running downloads). A connection counts them; a sink that does not stays at 0.
  std::atomic<std::int64_t> sentBytes{0};
};

// The whole connection: the receiving half beside the sending one.
class Stream : public ResponseSink {
 public:
  // Bytes received (> 0), 0 when the peer closed, -1 on an error, the server's stop or a
  // time limit.
  virtual long long Receive(char* buffer, std::size_t size) = 0;
  // Called once the head has ended, before it is answered: false when the connection was
  // given up meanwhile (to make room for a newer one) and must not be answered.
  virtual bool HeadReceived() { return true; }
};

}  // namespace qc
