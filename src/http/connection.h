// Accepted connections: one record and one thread each, in a registry that the server's
// stop walks to shut every live connection down and wait for its thread.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "http/request.h"
#include "http/response_writer.h"
#include "platform/named_lock.h"
#include "platform/socket.h"
#include "shares/share_registry.h"

namespace qc {

// The receive buffer starts at this size and grows by the same step.
inline constexpr std::int32_t kReceiveStep = 1024;
// A head longer than this gets the 400 page and the connection closes: without a bound a
// client could make a thread grow its buffer until memory runs out.
inline constexpr std::int32_t kMaxHeadSize = 64 * 1024;

class Connection : public ResponseSink {
 public:
  explicit Connection(platform::socket_t socket);
  ~Connection() override;

  platform::socket_t socket() const { return socket_; }
  long long SendAll(const char* data, long long count) override;
  long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) override;

  // The receive loop: reads one head, has it parsed and answered.
  void Serve(ShareRegistry& shares);

  // Wakes the connection's thread from another thread (server stop). Only the thread
  // itself closes the socket, and never while a wake-up is touching it.
  void Interrupt();
  void CloseSocket();

  // The thread's end, observed by the server's stop.
  void MarkDone();
  void WaitDone();

  // Receive state, as the loop leaves it (tests read it).
  std::vector<char> buffer;
  std::int32_t length = 0;
  std::int32_t capacity = kReceiveStep;
  Request request;
  // Set once an answer has been written (none when the client left before its head ended).
  std::optional<ResponseSummary> answered;

 private:
  platform::socket_t socket_;
  std::atomic<bool> stop_{false};
  std::mutex socketMutex_;
  bool socketReleased_ = false;
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// The end of a head, tested at the last received byte `p` only.
int IsHeadComplete(const char* buffer, std::int32_t p);

// Called on a connection's thread after it answered, before its socket closes (the
// native server's request log). Set before the accept loop starts.
using AnswerObserver = std::function<void(const Connection&)>;

class ConnectionRegistry {
 public:
  ConnectionRegistry();
  void SetAnswerObserver(AnswerObserver observer) { observer_ = std::move(observer); }
  void NotifyAnswered(const Connection& connection) {
    if (observer_ && connection.answered) observer_(connection);
  }
  // Null once the stop has begun: the caller then closes the socket at once.
  ConnectionPtr RegisterConnection(platform::socket_t socket);
  void UnregisterConnection(const ConnectionPtr& connection);
  // Every connection registered when the stop begins is shut down and its thread awaited;
  // connections accepted afterwards are refused by RegisterConnection.
  void StopAllConnections();
  std::size_t Count();
  // Empties the registry and allows registrations again (server start).
  void Reset();

 private:
  platform::NamedLock lock_;  // "mut_ouaccess"
  std::vector<ConnectionPtr> live_;
  bool stopping_ = false;
  AnswerObserver observer_;
};

// The accept loop: runs until accepting on `listener` fails. Connections are served on
// reused threads (WorkerPool); when the loop ends it waits for those threads to end, so
// the server's stop, which stops every connection before it closes the listener, leaves
// no thread behind.
void AcceptLoop(platform::socket_t listener, ConnectionRegistry& connections, ShareRegistry& shares);

}  // namespace qc
