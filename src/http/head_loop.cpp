#include "http/head_loop.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "http/worker_pool.h"
#include "platform/readiness.h"

namespace qc {

// Who holds a connection, and when (see docs/ARCHITECTURE.md, "Connections"): from its
// accept until its head is whole, this loop's thread alone, which alone reads its socket,
// its buffer and its place in the queue below; then the sending thread it is handed to,
// through the pool's lock, which alone answers, lingers and closes it. Other threads only
// wake it (Connection::Interrupt, under the connection's socket lock).
class HeadLoop {
 public:
  HeadLoop(platform::socket_t listener, platform::Readiness& readiness,
           ConnectionRegistry& connections, ShareRegistry& shares)
      : listener_(listener), readiness_(readiness), connections_(connections), shares_(shares) {}

  bool WatchListener() { return readiness_.WatchListener(listener_, &listenerToken_); }

  void Run() {
    connections_.SetStopListener([this] { readiness_.Wake(); });
    std::vector<void*> ready;
    while (!listenerEnded_) {
      if (!readiness_.Wait(ready, NextTimeout(), &wakeToken_)) {
        // Nothing wrong with any one connection; the loop keeps serving, without spinning.
        std::this_thread::sleep_for(kAcceptRetryPause);
      }
      for (void* token : ready) {
        if (token == &wakeToken_) continue;  // the stop: looked at below
        if (token == &listenerToken_) {
          AcceptOne();
        } else {
          Receive(*static_cast<Connection*>(token));
        }
      }
      const auto now = std::chrono::steady_clock::now();
      ExpireHeads(now);
      ResumeAccepting(now);
      if (connections_.Stopping()) CloseEveryWaiting();
      // Only now: a token later in the same batch may name a connection closed earlier in
      // it (given up for a newer one).
      closed_.clear();
    }
    CloseEveryWaiting();
    closed_.clear();
    connections_.SetStopListener(nullptr);
    // The pool (a member) is destroyed after this returns: it waits for the senders.
  }

 private:
  // The wait's limit: the oldest head's deadline (every connection shares one head limit,
  // so the queue in accept order is the queue in deadline order), or the end of a pause.
  std::chrono::milliseconds NextTimeout() const {
    using std::chrono::milliseconds;
    auto until = std::chrono::steady_clock::time_point::max();
    if (!waiting_.empty()) until = waiting_.front()->HeadDeadline();
    if (acceptPaused_) until = std::min(until, acceptResume_);
    if (until == std::chrono::steady_clock::time_point::max()) return milliseconds(-1);
    const auto left = std::chrono::ceil<milliseconds>(until - std::chrono::steady_clock::now());
    return std::max(left, milliseconds(0));
  }

  void AcceptOne() {
    int error = 0;
    std::uint32_t peer = 0;
    const platform::socket_t s = platform::Accept(listener_, &error, &peer);
    if (s == platform::kInvalidSocket) {
      if (platform::IsNothingToAccept(error)) return;
      // The stop wakes the listener for good (InterruptSocket); the stop has always begun
      // by then. Any other failure must not end serving while the process looks alive.
      if (connections_.Stopping()) {
        listenerEnded_ = true;
        return;
      }
      // A pause without accepting, heads still received meanwhile: a transient failure
      // (out of descriptors) clears as other connections end.
      const auto pause =
          platform::IsTransientAcceptError(error) ? kAcceptRetryPause : kAcceptErrorPause;
      if (readiness_.PauseListener(listener_, &listenerToken_, true)) {
        acceptPaused_ = true;
        acceptResume_ = std::chrono::steady_clock::now() + pause;
      }
      return;
    }
    ConnectionPtr connection = connections_.RegisterConnection(s, peer);
    if (!connection) {
      // Accepted after the stop began, or over a limit: closed before it costs anything.
      platform::CloseSocket(s);
      return;
    }
    // The registration may have given the oldest waiting head up to make room: it is the
    // first in the queue (only this thread moves heads out of it).
    while (!waiting_.empty() && waiting_.front()->GivenUp()) Close(*waiting_.front());
    Connection& c = *connection;
    c.waitingPlace_ = waiting_.insert(waiting_.end(), std::move(connection));
    c.waiting_ = true;
    // A client's head mostly follows its connect at once: looked for before any watch.
    Receive(c);
  }

  void ResumeAccepting(std::chrono::steady_clock::time_point now) {
    if (!acceptPaused_ || (now < acceptResume_ && !connections_.Stopping())) return;
    // The listener must be watched again for the stop to be seen at all.
    if (readiness_.PauseListener(listener_, &listenerToken_, false)) acceptPaused_ = false;
  }

  void Receive(Connection& c) {
    if (!c.waiting_) return;  // closed earlier in this batch
    ReceiveState& state = c.received;
    // What the thread per connection did before each receive: past the limit (or given
    // up, or stopped) a head is not looked at any more.
    if (c.GivenUp() || std::chrono::steady_clock::now() >= c.HeadDeadline()) {
      Close(c);
      return;
    }
    const std::size_t room = ReceiveRoom(state);
    const long long n = platform::ReceiveNow(c.socket(), state.buffer.data() + state.length, room);
    if (n == platform::kNothingYet) {
      Watch(c);
      return;
    }
    if (n <= 0) {  // closed before its head ended, or failed: no answer
      Close(c);
      return;
    }
    std::int32_t headLength = 0;
    const HeadState head = TakeReceived(state, static_cast<std::int32_t>(n), headLength);
    if (head == HeadState::Incomplete) {
      // The next bytes may be there already; the rearmed watch then reports them at once.
      Watch(c);
      return;
    }
    HandOver(c, head, headLength);
  }

  void Watch(Connection& c) {
    const bool watched =
        c.watched_ ? readiness_.Rearm(c.socket(), &c) : readiness_.WatchOnce(c.socket(), &c);
    c.watched_ = true;
    // A socket the system will not watch could never be served.
    if (!watched) Close(c);
  }

  void Leave(Connection& c) {
    c.waiting_ = false;
    waiting_.erase(c.waitingPlace_);
  }

  // Closed without an answer: a head that never ended, a client gone, a place given up,
  // the stop.
  void Close(Connection& c) {
    ConnectionPtr connection = *c.waitingPlace_;
    Leave(c);
    connection->CloseSocket();
    connections_.UnregisterConnection(connection);
    connection->MarkDone();
    closed_.push_back(std::move(connection));
  }

  void HandOver(Connection& c, HeadState head, std::int32_t headLength) {
    ConnectionPtr connection = *c.waitingPlace_;
    Leave(c);
    if (!connection->HeadReceived()) {  // given up meanwhile: nobody answers it
      connection->CloseSocket();
      connections_.UnregisterConnection(connection);
      connection->MarkDone();
      return;
    }
    // The watch is off (reported once), so this loop never looks at the socket again; the
    // sender's close ends the watch.
    auto job = [this, connection, head, headLength] { Answer(connection, head, headLength); };
    // Without a thread for it, this one answers: slower for everyone meanwhile, but no
    // client that said its head is dropped.
    if (!pool_.Run(job)) job();
  }

  // On the sending thread: the rest of the connection's life, as with a thread per
  // connection.
  void Answer(const ConnectionPtr& connection, HeadState head, std::int32_t headLength) {
    AnswerHead(*connection, shares_, connection->received, head, headLength);
    connections_.NotifyAnswered(*connection);
    connection->LingerAfterAnswer();
    connection->CloseSocket();
    connections_.UnregisterConnection(connection);
    // Last touch of the registries: the stop may return as soon as this is set.
    connection->MarkDone();
  }

  void ExpireHeads(std::chrono::steady_clock::time_point now) {
    while (!waiting_.empty() && waiting_.front()->HeadDeadline() <= now) Close(*waiting_.front());
  }

  void CloseEveryWaiting() {
    while (!waiting_.empty()) Close(*waiting_.front());
  }

  platform::socket_t listener_;
  platform::Readiness& readiness_;
  ConnectionRegistry& connections_;
  ShareRegistry& shares_;
  // Tokens the wait reports for the listener and the wake-up: their addresses only.
  char listenerToken_ = 0;
  char wakeToken_ = 0;
  bool listenerEnded_ = false;
  bool acceptPaused_ = false;
  std::chrono::steady_clock::time_point acceptResume_;
  // Heads awaited, in accept order: the oldest deadline first, the one given up first.
  std::list<ConnectionPtr> waiting_;
  // Closed in this batch, kept until it ends (see Run).
  std::vector<ConnectionPtr> closed_;
  // Last, so that it is destroyed first: its destructor waits for the senders, which use
  // the members above.
  WorkerPool pool_;
};

bool RunHeadLoop(platform::socket_t listener, ConnectionRegistry& connections,
                 ShareRegistry& shares) {
  platform::Readiness readiness;
  if (!readiness.Valid()) return false;
  HeadLoop loop(listener, readiness, connections, shares);
  if (!loop.WatchListener()) return false;
  loop.Run();
  return true;
}

}  // namespace qc
