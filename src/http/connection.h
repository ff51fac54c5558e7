// Accepted connections: one record each, in a registry that the server's stop walks to
// shut every live connection down and wait for its end. Natively one readiness loop waits
// for every connection's head and a thread serves a connection only once its head is
// whole (head_loop.h); the Windows build still gives each connection a thread of its own.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http/request.h"
#include "http/response_writer.h"
#include "http/stream.h"
#include "platform/named_lock.h"
#include "platform/socket.h"
#include "shares/share_registry.h"

namespace qc {

// The receive buffer starts at this size and grows by the same step.
inline constexpr std::int32_t kReceiveStep = 1024;
// A head longer than this gets the 400 page and the connection closes: without a bound a
// client could make a thread grow its buffer until memory runs out.
inline constexpr std::int32_t kMaxHeadSize = 64 * 1024;

// What one connection may hold in memory at worst while its head arrives: the longest
// head's buffer, its record and what the system keeps for its socket. What the budget of
// connections (platform::ClientConnectionBudget) is measured in, beside descriptors.
inline constexpr std::size_t kWorstConnectionBytes = kMaxHeadSize + 16 * 1024;

// A client that has not finished its head this long after it connected is closed without
// an answer. Without it a client that connects and says nothing (or a byte a minute) keeps
// its thread and record for ever; a minute is far beyond any real client's head, even
// over a slow link.
inline constexpr std::chrono::milliseconds kHeadTimeLimit{60'000};
// A body whose sending makes no progress for this long is broken off: the client has
// stopped reading (or is gone without a reset), and the connection would otherwise hold
// its thread, its socket and the open file for ever. Generous, so that a client that
// pauses a download or sits behind a congested link is not cut off.
inline constexpr std::chrono::milliseconds kSendStallLimit{120'000};

// After its answer a connection shuts its sending side down and reads (and drops) what the
// client still sends, until the client closes, before it closes itself: closing with
// unread bytes makes the system reset the connection, and a reset throws away what of the
// answer the client's side had not taken yet (a pipelined request after a 50 MB download
// cut it at 45.9 MB). What a client sends after its head arrives within a round trip or
// two; a client that keeps sending longer is uploading, which this server never takes,
// and each lingering connection holds a thread. So the wait is short and bounded in both:
// past these, the connection closes anyway (a reset then costs only a client that kept
// sending).
inline constexpr std::chrono::milliseconds kLingerTimeLimit{2'000};
inline constexpr long long kLingerByteLimit = 256LL * 1024;

// Connections one client address may hold at once; the next one is closed at once.
// Download managers open up to 16 per server and browsers 6, so a few users behind one
// shared address stay well inside it; without a cap a single client could take every
// thread and descriptor, and nobody else would be served until it let go.
inline constexpr std::size_t kMaxConnectionsPerAddress = 64;

struct ConnectionLimits {
  std::chrono::milliseconds head = kHeadTimeLimit;
  std::chrono::milliseconds sendStall = kSendStallLimit;
  std::size_t perAddress = kMaxConnectionsPerAddress;
  // All addresses together; 0: what the system can spare (platform::ClientConnectionBudget).
  std::size_t total = 0;
  std::chrono::milliseconds linger = kLingerTimeLimit;
};

// What one connection's receive loop keeps: the head received so far and what the parser
// made of it. The buffer is made by the first receive and grows a step at a time as the
// head arrives: a connection that has said nothing yet holds none.
struct ReceiveState {
  std::vector<char> buffer;
  std::int32_t length = 0;
  std::int32_t capacity = 0;
  Request request;
  // Set once an answer has been written (none when the client left before its head ended).
  std::optional<ResponseSummary> answered;
  // The client's IPv4 address (host byte order, 0 unknown), kept with a completed download.
  std::uint32_t peer = 0;
};

// Where a head stands after a receive.
enum class HeadState {
  Incomplete,  // more must come
  Complete,    // ends within the buffer (HeadLength)
  TooLong      // the buffer is full at kMaxHeadSize without its end: the 400 page
};
// Room for the next receive at `state.buffer.data() + state.length`, the buffer made or
// grown by a step when it is full. Never 0 while the head is Incomplete.
std::size_t ReceiveRoom(ReceiveState& state);
// Takes `count` bytes just received into that room, looking at each byte once.
// `headLength`: the complete head's length.
HeadState TakeReceived(ReceiveState& state, std::int32_t count, std::int32_t& headLength);
// A head that ended (Complete or TooLong), after Stream::HeadReceived: parses and answers
// it, or sends the 400 page. `state.answered` then holds the summary.
void AnswerHead(Stream& stream, ShareRegistry& shares, ReceiveState& state, HeadState head,
                std::int32_t headLength);

// The receive loop over any stream: receives one head (growing the buffer up to
// kMaxHeadSize), has it parsed and answered. Returns when the answer is sent, the head is
// too long (the 400 page), or the stream reports a close, an error, a stop or a time limit
// (no answer). Bytes received after the head's end are not looked at.
void ServeStream(Stream& stream, ShareRegistry& shares, ReceiveState& state);

class Connection : public Stream {
 public:
  // `socketPrepared`: the socket already has what PrepareConnectionSocket would set.
  // `peer`: the client's IPv4 address as accepted (host byte order), 0 when unknown.
  explicit Connection(platform::socket_t socket, ConnectionLimits limits = {},
                      bool socketPrepared = false, std::uint32_t peer = 0);
  ~Connection() override;

  platform::socket_t socket() const { return socket_; }
  std::uint32_t peer() const { return peer_; }
  long long SendAll(const char* data, long long count) override;
  // Large pieces, or the system's zero-copy call where there is one.
  long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) override;
  // -1 also once the head time limit has passed since the connection was accepted.
  long long Receive(char* buffer, std::size_t size) override;
  // False when the registry gave this connection's place to a newer one meanwhile.
  bool HeadReceived() override;
  bool WaitUntilDelivered(DeliveryWait wait) override;
  // Where the readiness loop's leader answers (HeadLoop): the download is counted once the
  // loop has seen the client's close after the answer; false elsewhere.
  bool CountOnceDelivered(std::function<bool()>& count) override;

  // Still waiting for its head (neither answering nor given up): a connection the registry
  // may close to make room for a new one when the budget is full.
  bool AwaitingHead() const { return phase_.load() == Phase::AwaitingHead; }
  // The registry's side of that: true when this connection was still waiting for its head
  // and is now given up (it is woken and closes without an answer).
  bool GiveUpForANewerOne();
  bool GivenUp() const { return phase_.load() == Phase::GivenUp; }

  // After an answer: the sending side is shut down and what the client still sends is
  // read and dropped (kLingerByteLimit, limits.linger) until it closes, so that the close
  // sends no reset that would cut the answer short. Without an answer, nothing.
  void LingerAfterAnswer();
  // The lingering close's first step, taken once: false when the connection was reset
  // before it, or is closed.
  bool ShutDownSending();
  // Its second, taken once (by the wait for a whole download, or after the answer).
  platform::DrainEnd Linger();

  // Wakes the connection's thread from another thread (server stop). Only the thread
  // itself closes the socket, and never while a wake-up is touching it.
  void Interrupt();
  void CloseSocket();

  // The thread's end, observed by the server's stop.
  void MarkDone();
  void WaitDone();

  // The head's time limit, counted from the accept.
  std::chrono::steady_clock::time_point HeadDeadline() const { return headDeadline_; }

  ReceiveState received;

 private:
  friend class HeadLoop;
  platform::socket_t socket_;
  std::uint32_t peer_;
  platform::WakeEvent wake_{0};
  ConnectionLimits limits_;
  std::chrono::steady_clock::time_point headDeadline_;
  std::atomic<bool> stop_{false};
  enum class Phase { AwaitingHead, Answering, GivenUp };
  std::atomic<Phase> phase_{Phase::AwaitingHead};
  std::mutex socketMutex_;
  bool socketReleased_ = false;
  bool sendingShut_ = false;  // the connection's own thread alone
  bool lingered_ = false;     // the connection's own thread alone
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
  // The thread that answers, and only while the readiness loop's leader answers itself
  // (HeadLoop): called once before anything here would wait (a send the socket cannot take
  // at once, an acknowledgement), so that another thread leads the loop meanwhile.
  std::function<void()> leaveTheLoop_;
  void LeaveTheLoop();
  // The download to count once the client's close has proven the answer delivered
  // (CountOnceDelivered), and the lingering close the loop waits out for it: its deadline
  // and the bytes dropped so far.
  std::function<bool()> countOnceDelivered_;
  bool lingering_ = false;
  long long lingerBytes_ = 0;
  std::chrono::steady_clock::time_point lingerDeadline_;
  // The readiness loop's alone (head_loop.cpp): where the connection stands in its queue
  // of heads awaited, in accept order (or of lingering closes, in deadline order), and
  // whether its socket is watched yet.
  std::list<std::shared_ptr<Connection>>::iterator waitingPlace_;
  bool waiting_ = false;
  bool watched_ = false;
  // The registry's, under its lock: the connection's place in its list, so that leaving
  // it costs the same with 10,000 others as alone.
  friend class ConnectionRegistry;
  std::list<std::shared_ptr<Connection>>::iterator registryPlace_;
  bool registered_ = false;
};
using ConnectionPtr = std::shared_ptr<Connection>;

// Whether the first `length` bytes of `buffer` hold a whole head, and its length up to and
// including the line feed that ends it. A head ends at its first empty line: LF LF or
// LF CR LF anywhere, so a head followed by more bytes (a pipelined request, a body) in the
// same packet is answered at once; or when the last byte received is a CR two bytes after
// another (CR LF CR: the final line feed is not waited for, and the head is all that was
// received). Bytes before `from` have been looked at already: each byte is looked at once
// however the head arrives.
bool IsHeadComplete(const char* buffer, std::int32_t from, std::int32_t length,
                    std::int32_t& headLength);

// Called on a connection's thread after it answered, before its socket closes (the
// native server's request log). Set before the accept loop starts.
using AnswerObserver = std::function<void(const Connection&)>;

class ConnectionRegistry {
 public:
  // `limits` apply to every connection registered later; tests shorten them.
  explicit ConnectionRegistry(ConnectionLimits limits = {});
  void SetAnswerObserver(AnswerObserver observer) { observer_ = std::move(observer); }
  // Called, under the registry's lock, when the readiness loop must look at the heads it
  // waits for: the stop has begun (before any connection is waited for), or the oldest
  // waiting head was given up for a newer connection. The loop's wake-up; set and cleared
  // by the loop itself.
  void SetWaitingHeadsListener(std::function<void()> listener);
  // For connections registered later; set before the accept loop starts.
  void SetHeadTimeLimit(std::chrono::milliseconds limit) { limits_.head = limit; }
  void NotifyAnswered(const Connection& connection) {
    if (observer_ && connection.received.answered) observer_(connection);
  }
  // Has the sockets `listener` accepts come with the connection options where the system
  // allows it (platform::PrepareAcceptedSockets). Called before the first accept.
  void PrepareListener(platform::socket_t listener);
  // Null once the stop has begun, or when the connection would pass its address's share:
  // the caller then closes the socket at once. When all connections together fill the
  // budget, the oldest one still waiting for its head is given up (closed without an
  // answer) and the new one takes its place, so a crowd that connects and says nothing
  // never locks out a recipient; with none waiting (all answering), the new one is
  // refused. `peer` as Connection takes it; an unknown one (0) is counted in the total
  // only.
  ConnectionPtr RegisterConnection(platform::socket_t socket, std::uint32_t peer = 0);
  void UnregisterConnection(const ConnectionPtr& connection);
  // Every connection registered when the stop begins is shut down and its thread awaited;
  // connections accepted afterwards are refused by RegisterConnection.
  void StopAllConnections();
  std::size_t Count();
  // False when the registry's lock could not be made (the server then does not start).
  bool LockIsValid() const { return lock_.IsValid(); }
  // True from the start of StopAllConnections until Reset.
  bool Stopping() const { return stopping_.load(); }
  // Empties the registry and allows registrations again (server start). The budget is
  // taken again from the system, which the socket library's start may have raised.
  void Reset();

 private:
  platform::NamedLock lock_;                                   // "mut_ouaccess"
  std::list<ConnectionPtr> live_;                              // in the order they were registered
  std::unordered_map<std::uint32_t, std::size_t> perAddress_;  // live connections per peer
  // Connections given up for newer ones that have not unregistered yet: they still hold a
  // descriptor and a thread, but no longer count against the budget.
  std::size_t givenUp_ = 0;
  std::atomic<bool> stopping_{false};
  ConnectionLimits limits_;
  std::size_t configuredTotal_;  // as the limits gave it: 0 means the system's budget
  std::atomic<bool> socketsPrepared_{false};
  AnswerObserver observer_;
  std::function<void()> waitingHeadsListener_;  // under lock_
};

// One receive of `c`'s head that never waits: `n` is what platform::ReceiveNow returned
// (kNothingYet, 0 for the client's close, -1 for a failure); the head's state after it.
HeadState ReceiveHeadNow(Connection& c, long long& n, std::int32_t& headLength);
// The rest of a connection's life once its head ended, on the thread that answers it:
// the answer (none when the registry gave its place up meanwhile), the lingering close,
// and its end.
void AnswerAndEnd(ConnectionRegistry& connections, ShareRegistry& shares,
                  const ConnectionPtr& connection, HeadState head, std::int32_t headLength);
// After an answer (or none: then only the end): the answer observer, the lingering close,
// and the end.
void EndAfterAnswer(ConnectionRegistry& connections, const ConnectionPtr& connection);
// Closes the socket and leaves the registry, last touch of both: the stop may return as
// soon as this is done.
void EndConnection(ConnectionRegistry& connections, const ConnectionPtr& connection);

// A failed accept that is not the stop is retried after this pause. A transient failure
// (out of descriptors, a client that reset before it was accepted) clears once other
// connections end; the pause keeps the loop from spinning meanwhile, and is short enough
// that the clients waiting in the backlog barely notice.
inline constexpr std::chrono::milliseconds kAcceptRetryPause{50};
// Any other failure says something is wrong with the listening socket itself; the loop
// still keeps trying (only the stop ends it) but does not hammer the system.
inline constexpr std::chrono::milliseconds kAcceptErrorPause{1000};
// The accept loop: runs until the registry's stop has begun and the listener was woken
// (platform::InterruptSocket). A failed accept before that is retried; it never ends
// serving for good. Natively this thread is the readiness loop (head_loop.h): it accepts,
// waits for every head and hands each connection with a whole head to a sending thread
// (WorkerPool). On Windows the threads that wait in accept serve what they accept, on
// reused threads with small stacks, and this thread is one of them; a connection whose
// head did not come with it waits in a readiness loop of its own (ParkedHeads) rather than
// in its thread. Either way, when the loop ends it has waited for every thread it started,
// so the server's stop, which stops every connection before it wakes the listener, leaves
// no thread behind.
void AcceptLoop(platform::socket_t listener, ConnectionRegistry& connections,
                ShareRegistry& shares);

}  // namespace qc
