#include "http/connection.h"

#include <algorithm>
#include <cstring>

#include "http/head_loop.h"
#include "http/request_parser.h"
#include "http/response_writer.h"
#include "http/worker_pool.h"
#include "platform/file.h"
#include "platform/readiness.h"

namespace qc {

Connection::Connection(platform::socket_t socket, ConnectionLimits limits, bool socketPrepared,
                       std::uint32_t peer)
    : socket_(socket),
      peer_(peer),
      limits_(limits),
      headDeadline_(std::chrono::steady_clock::now() + limits.head) {
  if (!socketPrepared) platform::PrepareConnectionSocket(socket_, limits_.sendStall);
  received.peer = peer;
}

Connection::~Connection() {
  CloseSocket();
  platform::CloseWakeEvent(wake_);
}

void Connection::LeaveTheLoop() {
  if (!leaveTheLoop_) return;
  const std::function<void()> leave = std::move(leaveTheLoop_);
  leaveTheLoop_ = nullptr;
  leave();
}

long long Connection::SendAll(const char* data, long long count) {
  long long sent = 0;
  if (leaveTheLoop_) {
    // The loop's leader sends what the socket takes at once, and waits for the rest only
    // once another thread leads.
    const long long n = platform::SendNow(socket_, data, static_cast<std::size_t>(count));
    if (n == -1) return -1;
    if (n > 0) {
      sent = n;
      sentBytes.fetch_add(n, std::memory_order_relaxed);
    }
    if (sent < count) LeaveTheLoop();
  }
  while (sent < count) {
    long long n = platform::SendUnlessStopped(
        socket_, data + sent, static_cast<std::size_t>(count - sent), stop_, limits_.sendStall);
    if (n < 0) return -1;
    sent += n;
    sentBytes.fetch_add(n, std::memory_order_relaxed);
  }
  return count;
}

long long Connection::SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) {
  LeaveTheLoop();
  // Natively the socket's own send time-out (PrepareConnectionSocket) bounds a stalled
  // sendfile as it bounds every send; elsewhere the default path goes through SendAll.
  const long long sent =
      platform::SendFileUnlessStopped(socket_, file.NativeHandle(), offset, count, stop_);
  if (sent != platform::kFileSendUnsupported) {
    if (sent > 0) sentBytes.fetch_add(sent, std::memory_order_relaxed);
    return sent;
  }
  return ResponseSink::SendFileRange(file, offset, count);
}

long long Connection::Receive(char* buffer, std::size_t size) {
  // Only the head is ever received, so the head's time limit is the receive's.
  return platform::ReceiveUnlessStopped(socket_, buffer, size, stop_, headDeadline_, &wake_);
}

bool Connection::HeadReceived() {
  Phase expected = Phase::AwaitingHead;
  return phase_.compare_exchange_strong(expected, Phase::Answering);
}

bool Connection::GiveUpForANewerOne() {
  Phase expected = Phase::AwaitingHead;
  if (!phase_.compare_exchange_strong(expected, Phase::GivenUp)) return false;
  Interrupt();
  return true;
}

bool Connection::CountOnceDelivered(std::function<bool()>& count) {
  if (!leaveTheLoop_) return false;
  // WaitUntilDelivered's first look, taken here: only an answer whose client has not
  // closed yet is proven by its close (the loop waits for it); one whose close came
  // already needs the acknowledgement, which WaitUntilDelivered waits for, off the loop.
  const platform::DrainEnd arrived = platform::DrainUntilClosed(
      socket_, stop_, std::chrono::steady_clock::now(), kLingerByteLimit);
  if (arrived == platform::DrainEnd::Closed) return false;
  if (arrived == platform::DrainEnd::StillOpen) countOnceDelivered_ = std::move(count);
  return true;  // reset: not delivered, nothing to count
}

bool Connection::WaitUntilDelivered(DeliveryWait wait) {
  LeaveTheLoop();
  if (wait == DeliveryWait::WholeInOneSend) {
    // An answer that left in one send is proven by the client's close alone: a client
    // reads it, sees the end (this side's shutdown) and closes; one that closes with any
    // of it unread resets the connection instead, which the close's shutdown or drain
    // sees. That spares the acknowledgement wait before the shutdown: under Wine its
    // buffer change and poll held the end of every small answer, which the client waits
    // for, by about 0.6 ms (docs/PERFORMANCE.md). What the client sent after its head is
    // dropped first, without waiting: its close already among it means that it may have
    // gone before the answer reached it (or only stopped sending), and only the
    // acknowledgement tells.
    const platform::DrainEnd arrived = platform::DrainUntilClosed(
        socket_, stop_, std::chrono::steady_clock::now(), kLingerByteLimit);
    if (arrived == platform::DrainEnd::Reset) return false;
    if (arrived == platform::DrainEnd::Closed) wait = DeliveryWait::Last;
  }
  if (wait != DeliveryWait::WholeInOneSend) {
    const bool moreFollows = wait == DeliveryWait::MoreFollows;
    // After the last byte, where the wait still tells after it, the shutdown goes first:
    // the client reads the answer's end and closes meanwhile, instead of waiting for this
    // side to see its acknowledgement (a fifth of a 1 MiB answer's time nearby).
    if (!moreFollows && platform::AcknowledgedAfterShutdown() && !ShutDownSending()) return false;
    const bool acknowledged =
        platform::WaitUntilAcknowledged(socket_, stop_, limits_.sendStall, moreFollows);
    if (moreFollows || !acknowledged) return acknowledged;
  }
  // After the last byte the lingering close comes next anyway, and taken here it tells
  // what the acknowledgement cannot: the client's system acknowledges bytes its program
  // has not read yet, and a program that closes with some unread (it gave up near the end,
  // or another of its connections took over the rest) resets the connection. Its shutdown
  // finds a connection reset already; its drain sees a reset that comes later.
  return (sendingShut_ || ShutDownSending()) && Linger() != platform::DrainEnd::Reset &&
         !stop_.load();
}

void Connection::LingerAfterAnswer() {
  if (!received.answered || lingered_) return;
  if (!sendingShut_ && !ShutDownSending()) return;
  Linger();
}

platform::DrainEnd Connection::Linger() {
  lingered_ = true;
  return platform::DrainUntilClosed(
      socket_, stop_, std::chrono::steady_clock::now() + limits_.linger, kLingerByteLimit);
}

bool Connection::ShutDownSending() {
  if (sendingShut_) return false;
  sendingShut_ = true;
  std::lock_guard<std::mutex> guard(socketMutex_);
  return !socketReleased_ && platform::ShutdownSend(socket_);
}

void Connection::Interrupt() {
  stop_.store(true);
  platform::SignalWakeEvent(wake_);
  std::lock_guard<std::mutex> guard(socketMutex_);
  if (!socketReleased_) platform::WakeConnection(socket_);
}

void Connection::CloseSocket() {
  std::lock_guard<std::mutex> guard(socketMutex_);
  if (socketReleased_) return;
  platform::CloseSocket(socket_);
  socketReleased_ = true;
}

void Connection::MarkDone() {
  std::lock_guard<std::mutex> guard(doneMutex_);
  done_ = true;
  doneChanged_.notify_all();
}

void Connection::WaitDone() {
  std::unique_lock<std::mutex> guard(doneMutex_);
  doneChanged_.wait(guard, [this] { return done_; });
}

bool IsHeadComplete(const char* buffer, std::int32_t from, std::int32_t length,
                    std::int32_t& headLength) {
  for (std::int32_t p = from < 0 ? 0 : from; p < length; ++p) {
    if (buffer[p] != '\n') continue;
    if ((p >= 1 && buffer[p - 1] == '\n') ||
        (p >= 2 && buffer[p - 1] == '\r' && buffer[p - 2] == '\n')) {
      headLength = p + 1;
      return true;
    }
  }
  const std::int32_t last = length - 1;
  if (last >= 2 && buffer[last] == '\r' && buffer[last - 2] == '\r') {
    headLength = length;
    return true;
  }
  return false;
}

std::size_t ReceiveRoom(ReceiveState& state) {
  if (state.length >= state.capacity - 1 && state.capacity < kMaxHeadSize) {
    // Grows in place: the bytes received so far keep their offsets.
    state.capacity += kReceiveStep;
    state.buffer.resize(static_cast<std::size_t>(state.capacity), '\0');
  }
  return static_cast<std::size_t>(state.capacity - 1 - state.length);
}

HeadState TakeReceived(ReceiveState& state, std::int32_t count, std::int32_t& headLength) {
  const std::int32_t from = state.length;
  state.length += count;
  state.buffer[static_cast<std::size_t>(state.length)] = '\0';
  if (IsHeadComplete(state.buffer.data(), from, state.length, headLength)) {
    return HeadState::Complete;
  }
  return state.length == state.capacity - 1 && state.capacity >= kMaxHeadSize
             ? HeadState::TooLong
             : HeadState::Incomplete;
}

void AnswerHead(Stream& stream, ShareRegistry& shares, ReceiveState& state, HeadState head,
                std::int32_t headLength) {
  if (head == HeadState::TooLong) {
    state.answered = SendBadRequestPage(stream);
    return;
  }
  state.request = ParseRequest(state.buffer.data(), headLength);
  state.answered = WriteResponse(state.request, shares, stream, state.peer);
}

HeadState ReceiveHeadNow(Connection& c, long long& n, std::int32_t& headLength) {
  ReceiveState& state = c.received;
  const std::size_t room = ReceiveRoom(state);
  n = platform::ReceiveNow(c.socket(), state.buffer.data() + state.length, room);
  if (n <= 0) return HeadState::Incomplete;  // kNothingYet among them
  return TakeReceived(state, static_cast<std::int32_t>(n), headLength);
}

void AnswerAndEnd(ConnectionRegistry& connections, ShareRegistry& shares,
                  const ConnectionPtr& connection, HeadState head, std::int32_t headLength) {
  if (connection->HeadReceived())
    AnswerHead(*connection, shares, connection->received, head, headLength);
  EndAfterAnswer(connections, connection);
}

void EndAfterAnswer(ConnectionRegistry& connections, const ConnectionPtr& connection) {
  connections.NotifyAnswered(*connection);
  connection->LingerAfterAnswer();
  EndConnection(connections, connection);
}

void EndConnection(ConnectionRegistry& connections, const ConnectionPtr& connection) {
  connection->CloseSocket();
  connections.UnregisterConnection(connection);
  connection->MarkDone();
}

void ServeStream(Stream& stream, ShareRegistry& shares, ReceiveState& state) {
  for (;;) {
    const std::size_t room = ReceiveRoom(state);
    const long long n = stream.Receive(state.buffer.data() + state.length, room);
    if (n <= 0) return;
    std::int32_t headLength = 0;
    const HeadState head = TakeReceived(state, static_cast<std::int32_t>(n), headLength);
    if (head == HeadState::Incomplete) continue;
    if (stream.HeadReceived()) AnswerHead(stream, shares, state, head, headLength);
    return;
  }
}

ConnectionRegistry::ConnectionRegistry(ConnectionLimits limits)
    : lock_("mut_ouaccess"), limits_(limits), configuredTotal_(limits.total) {
  if (limits_.total == 0) limits_.total = platform::ClientConnectionBudget(kWorstConnectionBytes);
}

void ConnectionRegistry::SetWaitingHeadsListener(std::function<void()> listener) {
  std::lock_guard<platform::NamedLock> guard(lock_);
  waitingHeadsListener_ = std::move(listener);
}

void ConnectionRegistry::PrepareListener(platform::socket_t listener) {
  socketsPrepared_ = platform::PrepareAcceptedSockets(listener, limits_.sendStall);
}

ConnectionPtr ConnectionRegistry::RegisterConnection(platform::socket_t socket,
                                                     std::uint32_t peer) {
  std::lock_guard<platform::NamedLock> guard(lock_);
  if (stopping_) return nullptr;
  if (peer != 0) {
    auto held = perAddress_.find(peer);
    if (held != perAddress_.end() && held->second >= limits_.perAddress) return nullptr;
  }
  if (live_.size() - givenUp_ >= limits_.total) {
    // Those given up still hold their descriptors until their threads have closed them,
    // which takes a moment; a flood faster than that is refused rather than let them pile
    // up past an eighth of the budget.
    if (givenUp_ >= std::max<std::size_t>(1, limits_.total / 8)) return nullptr;
    // The oldest first: it has had the longest to send its head. A connection registered
    // just now is the last to go, so a recipient's head has time to arrive.
    const auto oldest = std::find_if(live_.begin(), live_.end(), [](const ConnectionPtr& c) {
      return c->AwaitingHead() && c->GiveUpForANewerOne();
    });
    if (oldest == live_.end()) return nullptr;
    ++givenUp_;
    // A head the readiness loop waits for is closed by it, once it looks.
    if (waitingHeadsListener_) waitingHeadsListener_();
  }
  auto connection = std::make_shared<Connection>(socket, limits_, socketsPrepared_, peer);
  connection->registryPlace_ = live_.insert(live_.end(), connection);
  connection->registered_ = true;
  if (peer != 0) ++perAddress_[peer];
  return connection;
}

void ConnectionRegistry::UnregisterConnection(const ConnectionPtr& connection) {
  std::lock_guard<platform::NamedLock> guard(lock_);
  if (!connection->registered_) return;
  connection->registered_ = false;
  live_.erase(connection->registryPlace_);
  if (connection->GivenUp()) --givenUp_;
  // Only addresses with live connections stay, so a crowd of passing clients leaves
  // nothing behind.
  auto held = perAddress_.find(connection->peer());
  if (held != perAddress_.end() && --held->second == 0) perAddress_.erase(held);
}

void ConnectionRegistry::StopAllConnections() {
  std::vector<ConnectionPtr> snapshot;
  {
    // From here on no connection is registered, so the snapshot is every connection
    // that will ever need waking. The shared pointers keep each record alive while its
    // thread unregisters itself.
    std::lock_guard<platform::NamedLock> guard(lock_);
    stopping_.store(true);
    snapshot.assign(live_.begin(), live_.end());
    // Under the lock, so that the loop cannot clear it and go meanwhile.
    if (waitingHeadsListener_) waitingHeadsListener_();
  }
  // All are woken before any is awaited: a thread notices its wake-up only between the
  // slices of its wait on Windows, and those slices then pass side by side, not one
  // after another.
  for (const ConnectionPtr& connection : snapshot) connection->Interrupt();
  for (const ConnectionPtr& connection : snapshot) connection->WaitDone();
}

std::size_t ConnectionRegistry::Count() {
  std::lock_guard<platform::NamedLock> guard(lock_);
  return live_.size();
}

void ConnectionRegistry::Reset() {
  std::lock_guard<platform::NamedLock> guard(lock_);
  for (const ConnectionPtr& connection : live_) connection->registered_ = false;
  live_.clear();
  perAddress_.clear();
  givenUp_ = 0;
  limits_.total = configuredTotal_ != 0 ? configuredTotal_
                                        : platform::ClientConnectionBudget(kWorstConnectionBytes);
  stopping_.store(false);
}

namespace {
// Sleeps `pause` in short steps, so that a stop that begins meanwhile is not delayed.
void PauseUnlessStopping(const ConnectionRegistry& connections, std::chrono::milliseconds pause) {
  const auto end = std::chrono::steady_clock::now() + pause;
  while (!connections.Stopping() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::min(pause, std::chrono::milliseconds(50)));
  }
}
}  // namespace

namespace {
// Threads that accept for themselves: a thread waiting in accept serves the connection it
// accepted, so a request costs one wake-up and no hand-over between threads. Before it
// serves, a thread that leaves nobody waiting in accept starts (or wakes) one more, so
// accepting never waits for serving; when it is done it waits in accept again, unless
// enough others already do, and then it goes back to the pool, which ends it once idle.
class Acceptors {
 public:
  Acceptors(platform::socket_t listener, ConnectionRegistry& connections, ShareRegistry& shares)
      : listener_(listener), connections_(connections), shares_(shares) {}

  // The loop of the thread that started serving: it never retires, so one thread always
  // waits in accept. It returns once the stop has begun; the destructor (the pool's) then
  // waits for every other acceptor to end.
  void Run() {
    waiting_.fetch_add(1);
    Serve(false);
    ReleasePieceBuffer();
  }

 private:
  void Serve(bool mayRetire) {
    for (;;) {
      int error = 0;
      std::uint32_t peer = 0;
      platform::socket_t s = platform::Accept(listener_, &error, &peer);
      if (s == platform::kInvalidSocket) {
        // The stop wakes every accept (InterruptSocket) for good; it has always begun by
        // then. Any other failure must not end serving while the process looks alive.
        if (connections_.Stopping()) {
          waiting_.fetch_sub(1);
          return;
        }
        PauseUnlessStopping(connections_, platform::IsTransientAcceptError(error)
                                              ? kAcceptRetryPause
                                              : kAcceptErrorPause);
        continue;
      }
      ConnectionPtr connection = connections_.RegisterConnection(s, peer);
      if (!connection) {
        // Accepted after the stop began (nobody will serve it), or over a limit: closed
        // before it costs a thread, so one client's crowd never holds up the others.
        platform::CloseSocket(s);
        continue;
      }
      // Registered, so the stop waits for this thread until MarkDone, and the listener is
      // woken only after that: a thread started here finds it still open.
      if (waiting_.fetch_sub(1) == 1) StartAnother();
      // This object's own state lives on until every thread of the pool has ended.
      Serve(connection);
      if (mayRetire && waiting_.load() >= kSpareAcceptors) return;
      waiting_.fetch_add(1);
    }
  }

  // The head mostly comes with its connection, and is answered here at once; one that has
  // not arrived yet waits parked, so that a connection that says nothing costs no thread.
  void Serve(const ConnectionPtr& connection) {
    for (;;) {
      long long n = 0;
      std::int32_t headLength = 0;
      const HeadState head = ReceiveHeadNow(*connection, n, headLength);
      if (n == platform::kNothingYet) {
        if (parked_.Park(connection)) return;
        break;  // no loop (any more): waited for here
      }
      if (n <= 0) {
        EndConnection(connections_, connection);
        return;
      }
      if (head == HeadState::Incomplete) continue;
      AnswerAndEnd(connections_, shares_, connection, head, headLength);
      return;
    }
    ServeStream(*connection, shares_, connection->received);
    EndAfterAnswer(connections_, connection);
  }

  void StartAnother() {
    waiting_.fetch_add(1);
    // Without a thread for it, this one accepts again once it has served: clients wait
    // in the backlog meanwhile, none is dropped.
    if (!pool_.Run([this] { Serve(true); })) waiting_.fetch_sub(1);
  }

  // Threads waiting in accept beyond this many go back to the pool after serving: enough
  // to take a burst without starting threads, few enough to cost next to nothing idle.
  static constexpr int kSpareAcceptors = 8;

  platform::socket_t listener_;
  ConnectionRegistry& connections_;
  ShareRegistry& shares_;
  std::atomic<int> waiting_{0};
  // Before the pool, so that it outlives the threads that park connections in it.
  ParkedHeads parked_{connections_, shares_};
  // Last, so that it is destroyed first: its destructor waits for the threads that use
  // the members above.
  WorkerPool pool_;
};
}  // namespace

void AcceptLoop(platform::socket_t listener, ConnectionRegistry& connections,
                ShareRegistry& shares) {
  connections.PrepareListener(listener);
  if (RunHeadLoop(listener, connections, shares)) return;
  Acceptors acceptors(listener, connections, shares);
  acceptors.Run();
}

}  // namespace qc
