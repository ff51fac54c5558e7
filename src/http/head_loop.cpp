#include "http/head_loop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "http/request_parser.h"
#include "http/response_decision.h"
#include "http/response_writer.h"
#include "http/worker_pool.h"
#include "platform/readiness.h"

namespace qc {

namespace {
// How long after its answer a lingering close is first looked at, without a watch: a
// client nearby has read the answer and closed by then, and the look finds its close at
// once, where a watch armed at the answer would have woken the loop for that close alone
// (a system call, and at one request at a time a context switch, per answer). A client
// that has not closed by then is watched from then on.
constexpr std::chrono::milliseconds kLingerFirstLook{1};
}  // namespace

// Who holds a connection, and when (see docs/ARCHITECTURE.md, "Connections"): from its
// accept (or from Park) until its head is whole, the thread that leads this loop, which
// alone reads its socket, its buffer and its place in the queue below (one thread at a
// time leads, and the lead passes through the pool's lock); then the thread it is handed
// to, through the pool's lock, or the leader itself as it passes the lead on, which alone
// answers, lingers and closes it.
// Other threads only wake it (Connection::Interrupt, under the connection's socket lock)
// or park a connection (through the inbox's lock).
class HeadLoop {
 public:
  // `listener` kInvalidSocket: other threads accept, and only parked heads wait here.
  // `idleLifetime` above zero: such a loop ends by itself once it has held nothing for that
  // long (Retired), so that a crowd's extra loops do not outlive it.
  HeadLoop(platform::socket_t listener, platform::Readiness& readiness,
           ConnectionRegistry& connections, ShareRegistry& shares,
           std::chrono::milliseconds idleLifetime = std::chrono::milliseconds(0))
      : listener_(listener),
        readiness_(readiness),
        connections_(connections),
        shares_(shares),
        idleLifetime_(idleLifetime) {}

  bool WatchListener() { return readiness_.WatchListener(listener_, &listenerToken_); }
  // Where several loops accept the same listener: the flag they share, set by whichever
  // sees the listener end, which then calls `ended` (waking the others).
  void ShareListenerEnd(std::atomic<bool>& flag, std::function<void()> ended) {
    listenerEnded_ = &flag;
    onListenerEnded_ = std::move(ended);
  }

  // From an accepting thread: false once the loop has ended (or is ending).
  bool Park(ConnectionPtr connection) {
    {
      std::lock_guard<std::mutex> guard(inboxMutex_);
      if (inboxClosed_) return false;
      inbox_.push_back(std::move(connection));
      load_.fetch_add(1);
    }
    readiness_.Wake();
    return true;
  }

  // From any thread: the heads parked here and not yet answered or closed.
  std::size_t Load() const { return load_.load(); }
  // From any thread: the loop ended by itself, idle; it takes no more heads.
  bool Retired() const { return retired_.load(); }
  void Wake() { readiness_.Wake(); }

  // From any thread: a loop without a listener ends now even without a stop.
  void End() {
    {
      std::lock_guard<std::mutex> guard(inboxMutex_);
      ending_ = true;
    }
    readiness_.Wake();
  }

  // Runs the loop until it ends (RunHeadLoop and ParkedHeads set who wakes it for the
  // registry), then waits for the senders it started.
  void Run() {
    lastHeld_ = std::chrono::steady_clock::now();
    Lead();
    {
      std::unique_lock<std::mutex> lock(endMutex_);
      endChanged_.wait(lock, [this] { return loopEnded_; });
    }
    // The senders still answering what this loop handed over end here, on this thread, so
    // that whoever destroys the loop once it has returned never waits for a download.
    pool_.Close();
    ReleasePieceBuffer();  // this thread answers itself when no sender could be started
  }

 private:
  bool Accepts() const { return listener_ != platform::kInvalidSocket; }

  // The loop, on whichever thread leads it: one thread at a time, from Run's or from the
  // thread it passed the lead to (ReleaseLead), until the loop ends (EndLoop).
  void Lead() {
    while (!Ended() && !RetireIfIdle()) {
      if (!readiness_.Wait(ready_, NextTimeout(), &wakeToken_)) {
        // Nothing wrong with any one connection; the loop keeps serving, without spinning.
        std::this_thread::sleep_for(kAcceptRetryPause);
      }
      for (void* token : ready_) {
        if (token == &wakeToken_) {
          TakeParked();  // or the stop, or a head given up: looked at below
          continue;
        }
        if (token == &listenerToken_) {
          AcceptOne();
          continue;
        }
        Connection& c = *static_cast<Connection*>(token);
        if (c.lingering_) {
          LingerStep(c);
        } else {
          Receive(c);
        }
      }
      const auto now = std::chrono::steady_clock::now();
      CloseGivenUp();
      ExpireHeads(now);
      // Before their expiry: a linger is looked at once before its deadline ends it.
      LookAtNewLingers(now);
      ExpireLingers(now);
      ResumeAccepting(now);
      if (connections_.Stopping()) CloseEveryWaiting();
      // Only now: a token later in the same batch may name a connection closed earlier in
      // it (given up for a newer one).
      closed_.clear();
      if (AnswerCompleteHeads()) return;  // another thread leads now
      for (std::function<void()>& job : handed_) {
        // Without a thread for it, this one answers: slower for everyone meanwhile, but no
        // client that said its head is dropped.
        if (!pool_.Run(job)) job();
      }
      handed_.clear();
    }
    EndLoop();
  }

  // A head that ended on a loop that accepts, answered by its leader at the batch's end.
  struct CompleteHead {
    ConnectionPtr connection;
    HeadState head;
    std::int32_t headLength;
  };

  // Answers the batch's whole heads on the leader's own thread: the client waits for the
  // answer, and a sender woken for it would first have to be scheduled, a good part of a
  // small answer's time. An answer that fits one send goes out without waiting, and its
  // lingering close is waited out in the loop beside every other connection; one that
  // would wait (a larger body, a one-shot share, a client whose close came first) passes
  // the lead to another thread first. True when that happened: this thread no longer
  // leads and touches nothing more of the loop.
  bool AnswerCompleteHeads() {
    for (nextComplete_ = 0; nextComplete_ < complete_.size();) {
      const CompleteHead k = std::move(complete_[nextComplete_++]);
      if (AnswerHere(k)) return true;
    }
    complete_.clear();
    return false;
  }

  bool AnswerHere(const CompleteHead& k) {
    Connection& c = *k.connection;
    if (!c.HeadReceived()) {  // given up meanwhile
      EndConnection(connections_, k.connection);
      closed_.push_back(k.connection);
      return false;
    }
    ReceiveState& state = c.received;
    bool released = false;
    std::vector<CompleteHead> rest;  // heads of this batch that no sender took
    c.leaveTheLoop_ = [this, &released, &rest] { released = ReleaseLead(rest); };
    std::optional<ResponseDecision> decision;
    if (k.head != HeadState::TooLong) {
      state.request = ParseRequest(state.buffer.data(), k.headLength);
      if (MayWaitToDecide(state.request)) c.LeaveTheLoop();
      decision.emplace(DecideResponse(state.request, shares_));
      if (!AnswersWithoutWaiting(*decision)) c.LeaveTheLoop();
    }
    state.answered =
        decision ? WriteDecidedResponse(*decision, shares_, c, state.peer) : SendBadRequestPage(c);
    c.leaveTheLoop_ = nullptr;
    decision.reset();  // the file closes before the linger, as a sender's does
    if (!released) {
      StartLinger(k.connection);
      return false;
    }
    // A sender now: no download waits to be counted here (CountOnceDelivered is asked only
    // while leading, and the writer returns right after it).
    EndAfterAnswer(connections_, k.connection);
    for (const CompleteHead& r : rest) {
      AnswerAndEnd(connections_, shares_, r.connection, r.head, r.headLength);
    }
    return true;
  }

  // Whether deciding the answer may wait: a folder share's listing, or a share with a
  // limit, whose withdrawal or count is stored there and then. Those are decided off the
  // loop.
  bool MayWaitToDecide(const Request& request) {
    if (request.badRequest || !request.path || !request.pathMatchable) return false;
    const SharePtr share = shares_.FindShare(*request.path);
    return share && (share->IsFolder() || share->IsOneShot() || share->Limits().Any());
  }

  // An answer that never waits: a page or a head alone, or a body that leaves with its
  // head in one send (the writer's last piece) from a plain file of a share without a
  // download limit (whose claim may wait for the client).
  static bool AnswersWithoutWaiting(const ResponseDecision& d) {
    if (!d.SendsFile()) return true;
    if (d.archive || d.span.count > kLastPieceSize) return false;
    return !d.share->IsOneShot() && d.share->Limits().maxDownloads == 0;
  }

  // From the leader's answer that must wait: the batch's heads not answered yet go to
  // senders, and a thread of the pool leads on. False when no thread could lead: this one
  // waits and leads on afterwards (slower for everyone meanwhile; no head is dropped).
  // `rest` receives the heads no sender could take, for this thread to answer after its
  // own.
  bool ReleaseLead(std::vector<CompleteHead>& rest) {
    // Taken out before the lead is posted: the next leader starts with a batch of its own.
    // The pool's lock orders everything this thread wrote of the loop before what the next
    // leader reads.
    std::vector<CompleteHead> batch;
    batch.swap(complete_);
    const std::size_t next = nextComplete_;
    if (!pool_.Run([this] { Lead(); })) {
      batch.swap(complete_);
      return false;
    }
    for (std::size_t i = next; i < batch.size(); ++i) {
      const CompleteHead& k = batch[i];
      auto job = [this, k] {
        AnswerAndEnd(connections_, shares_, k.connection, k.head, k.headLength);
      };
      if (!pool_.Run(job)) rest.push_back(k);
    }
    return true;
  }

  // After an answer the leader sent: the sending side is shut down and the client's close
  // awaited in the loop (what it still sends is dropped, up to kLingerByteLimit), for the
  // linger's length at most; a download waiting to be counted is counted once that close
  // came.
  void StartLinger(const ConnectionPtr& connection) {
    Connection& c = *connection;
    // As after a sender's answer: the observer first, unless a count is still to come.
    if (!c.countOnceDelivered_) connections_.NotifyAnswered(c);
    if (!c.received.answered || !c.ShutDownSending()) {
      EndAnswer(connection, platform::DrainEnd::Reset);
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    c.lingering_ = true;
    c.lingerBytes_ = 0;
    c.lingerDeadline_ = now + c.limits_.linger;
    c.waitingPlace_ = lingering_.insert(lingering_.end(), connection);
    // Unwatched until its first look (kLingerFirstLook), no later than its deadline: every
    // linger shares one limit, so the queue in answer order is the queue in look order.
    firstLooks_.push_back({connection, std::min(now + kLingerFirstLook, c.lingerDeadline_)});
  }

  // The first look at each linger whose time has come: the client's close (or a reset)
  // ends it there; a client still open is watched from then on. Nothing else looks at a
  // linger before this (it is not watched), so one still lingering here is new.
  void LookAtNewLingers(std::chrono::steady_clock::time_point now) {
    while (!firstLooks_.empty() && firstLooks_.front().at <= now) {
      const ConnectionPtr connection = std::move(firstLooks_.front().connection);
      firstLooks_.pop_front();
      if (connection->lingering_) LingerStep(*connection);  // else ended meanwhile
    }
  }

  // What the client sent since the last look is dropped; until it closes (or the linger's
  // limits), its socket is watched again. The stop ends the linger as a reset: nothing is
  // counted then.
  void LingerStep(Connection& c) {
    long long dropped = 0;
    const platform::DrainEnd end =
        platform::DrainUntilClosed(c.socket(), c.stop_, std::chrono::steady_clock::now(),
                                   kLingerByteLimit - c.lingerBytes_, &dropped);
    c.lingerBytes_ += dropped;
    const bool stopped = c.stop_.load();
    if (end == platform::DrainEnd::StillOpen && !stopped && c.lingerBytes_ < kLingerByteLimit) {
      if (!Arm(c)) EndLinger(c, platform::DrainEnd::Reset);
      return;
    }
    EndLinger(c, stopped ? platform::DrainEnd::Reset : end);
  }

  void EndLinger(Connection& c, platform::DrainEnd end) {
    ConnectionPtr connection = *c.waitingPlace_;
    c.lingering_ = false;
    lingering_.erase(c.waitingPlace_);
    EndAnswer(connection, end);
  }

  // The answer's end: the download counted when the client's close proved it delivered,
  // the observer told, the socket closed.
  void EndAnswer(const ConnectionPtr& connection, platform::DrainEnd end) {
    Connection& c = *connection;
    if (c.countOnceDelivered_) {
      const std::function<bool()> count = std::move(c.countOnceDelivered_);
      c.countOnceDelivered_ = nullptr;
      // As after a sender's linger: an orderly close counts, and so does a client still
      // open when the linger's time or byte limit is reached; a reset does not, nor does a
      // linger the stop ended or a watch that failed (both end as a reset here).
      if (end != platform::DrainEnd::Reset && !c.stop_.load() && count()) {
        c.received.answered->completed = true;
      }
      connections_.NotifyAnswered(c);
    }
    EndConnection(connections_, connection);
    closed_.push_back(connection);
  }

  void ExpireLingers(std::chrono::steady_clock::time_point now) {
    while (!lingering_.empty() && lingering_.front()->lingerDeadline_ <= now) {
      EndLinger(*lingering_.front(), platform::DrainEnd::StillOpen);
    }
  }

  // The loop's end, on its last leader: closes what it still holds and tells Run.
  void EndLoop() {
    std::vector<ConnectionPtr> parked;
    {
      std::lock_guard<std::mutex> guard(inboxMutex_);
      inboxClosed_ = true;
      parked.swap(inbox_);
    }
    for (const ConnectionPtr& connection : parked) EndConnection(connections_, connection);
    CloseEveryWaiting();
    closed_.clear();
    std::lock_guard<std::mutex> guard(endMutex_);
    loopEnded_ = true;
    endChanged_.notify_all();
  }

  // The wait's limit: the oldest head's deadline (every connection shares one head limit,
  // so the queue in accept order is the queue in deadline order), the end of a pause, or
  // the end of an idle loop's life.
  std::chrono::milliseconds NextTimeout() const {
    using std::chrono::milliseconds;
    auto until = std::chrono::steady_clock::time_point::max();
    if (!waiting_.empty()) until = waiting_.front()->HeadDeadline();
    if (!lingering_.empty()) until = std::min(until, lingering_.front()->lingerDeadline_);
    if (!firstLooks_.empty()) until = std::min(until, firstLooks_.front().at);
    if (waiting_.empty() && idleLifetime_.count() > 0) until = lastHeld_ + idleLifetime_;
    if (acceptPaused_) until = std::min(until, acceptResume_);
    if (until == std::chrono::steady_clock::time_point::max()) return milliseconds(-1);
    const auto left = std::chrono::ceil<milliseconds>(until - std::chrono::steady_clock::now());
    return std::max(left, milliseconds(0));
  }

  // Ends a loop that may retire and has held nothing for its idle lifetime: from here on
  // its inbox is closed, so a thread that parks finds it so (Park is false) and picks
  // another loop. The inbox's lock makes the two exclusive: a head parked before the close
  // is taken (Run's end closes it), none after.
  bool RetireIfIdle() {
    if (idleLifetime_.count() <= 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (!waiting_.empty()) {
      lastHeld_ = now;
      return false;
    }
    if (now - lastHeld_ < idleLifetime_) return false;
    std::lock_guard<std::mutex> guard(inboxMutex_);
    if (!inbox_.empty()) {
      lastHeld_ = now;
      return false;
    }
    inboxClosed_ = true;
    retired_.store(true);
    return true;
  }

  bool Ended() {
    if (Accepts()) return listenerEnded_->load();
    if (connections_.Stopping()) return true;
    std::lock_guard<std::mutex> guard(inboxMutex_);
    return ending_;
  }

  // The connections other threads parked, queued by their deadlines (their registration
  // order, in which the registry gives the oldest up) and watched: a parked head had not
  // arrived a moment ago, so the wait rather than a receive looks for it first.
  void TakeParked() {
    if (Accepts()) return;
    std::vector<ConnectionPtr> parked;
    {
      std::lock_guard<std::mutex> guard(inboxMutex_);
      parked.swap(inbox_);
    }
    if (!parked.empty()) lastHeld_ = std::chrono::steady_clock::now();
    for (ConnectionPtr& connection : parked) {
      Connection& c = *connection;
      auto place = waiting_.end();
      while (place != waiting_.begin() && (*std::prev(place))->HeadDeadline() > c.HeadDeadline()) {
        --place;
      }
      c.waitingPlace_ = waiting_.insert(place, std::move(connection));
      c.waiting_ = true;
      Watch(c);
    }
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
        // Every loop that accepts ends with it: the others may not be told, as only
        // one of them is woken for an event of the listener.
        listenerEnded_->store(true);
        if (onListenerEnded_) onListenerEnded_();
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
    CloseGivenUp();
    Connection& c = *connection;
    c.waitingPlace_ = waiting_.insert(waiting_.end(), std::move(connection));
    c.waiting_ = true;
    load_.fetch_add(1);  // as Park counts a parked one: Leave counts each down
    // A client's head mostly follows its connect at once: looked for before any watch.
    Receive(c);
  }

  void ResumeAccepting(std::chrono::steady_clock::time_point now) {
    if (!acceptPaused_ || (now < acceptResume_ && !connections_.Stopping())) return;
    // The listener must be watched again for the stop to be seen at all.
    if (readiness_.PauseListener(listener_, &listenerToken_, false)) acceptPaused_ = false;
  }

  // A registration that gave the oldest waiting head up to make room wakes the loop
  // (Run); that head is the first in the queue, which holds heads in registration order.
  void CloseGivenUp() {
    while (!waiting_.empty() && waiting_.front()->GivenUp()) Close(*waiting_.front());
  }

  void Receive(Connection& c) {
    if (!c.waiting_) return;  // closed earlier in this batch
    // What the thread per connection did before each receive: past the limit (or given
    // up, or stopped) a head is not looked at any more.
    if (c.GivenUp() || std::chrono::steady_clock::now() >= c.HeadDeadline()) {
      Close(c);
      return;
    }
    long long n = 0;
    std::int32_t headLength = 0;
    const HeadState head = ReceiveHeadNow(c, n, headLength);
    if (n == platform::kNothingYet) {
      Watch(c);
      return;
    }
    if (n <= 0) {  // closed before its head ended, or failed: no answer
      Close(c);
      return;
    }
    if (head == HeadState::Incomplete) {
      // The next bytes may be there already; the rearmed watch then reports them at once.
      Watch(c);
      return;
    }
    HandOver(c, head, headLength);
  }

  void Watch(Connection& c) {
    // A socket the system will not watch could never be served.
    if (!Arm(c)) Close(c);
  }

  // Its one-shot watch armed again (disarmed by its last event), or set where it never was
  // (a head that came with its connection): false when the system refused.
  bool Arm(Connection& c) {
    const bool watched =
        c.watched_ ? readiness_.Rearm(c.socket(), &c) : readiness_.WatchOnce(c.socket(), &c);
    c.watched_ = true;
    return watched;
  }

  // Out of the queue and out of the wait, before its socket is closed or handed over.
  void Leave(Connection& c) {
    c.waiting_ = false;
    waiting_.erase(c.waitingPlace_);
    load_.fetch_sub(1);
    if (c.watched_) readiness_.Forget(c.socket());
  }

  // Closed without an answer: a head that never ended, a client gone, a place given up,
  // the stop.
  void Close(Connection& c) {
    ConnectionPtr connection = *c.waitingPlace_;
    Leave(c);
    EndConnection(connections_, connection);
    closed_.push_back(std::move(connection));
  }

  void HandOver(Connection& c, HeadState head, std::int32_t headLength) {
    ConnectionPtr connection = *c.waitingPlace_;
    Leave(c);
    // Out of the wait (Leave), so this loop never looks at the socket again.
    // Answered at the batch's end (Lead): by this thread where it accepts, by a sender
    // otherwise.
    if (Accepts()) {
      complete_.push_back({std::move(connection), head, headLength});
      return;
    }
    handed_.emplace_back([this, connection, head, headLength] {
      AnswerAndEnd(connections_, shares_, connection, head, headLength);
    });
  }

  void ExpireHeads(std::chrono::steady_clock::time_point now) {
    while (!waiting_.empty() && waiting_.front()->HeadDeadline() <= now) Close(*waiting_.front());
  }

  void CloseEveryWaiting() {
    while (!waiting_.empty()) Close(*waiting_.front());
    // The stop (or the loop's end, which only the stop brings): nothing is counted.
    while (!lingering_.empty()) EndLinger(*lingering_.front(), platform::DrainEnd::Reset);
    firstLooks_.clear();
  }

  platform::socket_t listener_;
  platform::Readiness& readiness_;
  ConnectionRegistry& connections_;
  ShareRegistry& shares_;
  // Tokens the wait reports for the listener and the wake-up: their addresses only.
  char listenerToken_ = 0;
  char wakeToken_ = 0;
  // Shared by the loops that accept the same listener (RunHeadLoop), which wakes them all.
  std::atomic<bool> ownListenerEnded_{false};
  std::atomic<bool>* listenerEnded_ = &ownListenerEnded_;
  std::function<void()> onListenerEnded_;
  // Connections parked by accepting threads, not yet queued; under `inboxMutex_`, as is
  // whether the loop still takes them and whether it was told to end.
  std::mutex inboxMutex_;
  std::vector<ConnectionPtr> inbox_;
  bool inboxClosed_ = false;
  bool ending_ = false;
  // Parked (or, where this loop accepts, accepted) and not yet left: for ParkedHeads'
  // choice of a loop.
  std::atomic<std::size_t> load_{0};
  const std::chrono::milliseconds idleLifetime_;
  // When the loop last held a head (this thread's own).
  std::chrono::steady_clock::time_point lastHeld_;
  std::atomic<bool> retired_{false};
  bool acceptPaused_ = false;
  std::chrono::steady_clock::time_point acceptResume_;
  // Heads awaited, in accept order: the oldest deadline first, the one given up first.
  std::list<ConnectionPtr> waiting_;
  // The batch's tokens, and what of it was closed (kept until it ends, see Lead) or is to
  // be answered.
  std::vector<void*> ready_;
  std::vector<ConnectionPtr> closed_;
  std::vector<std::function<void()>> handed_;
  std::vector<CompleteHead> complete_;
  std::size_t nextComplete_ = 0;  // AnswerCompleteHeads' place in `complete_`
  // Answered by a leader, their clients' closes awaited, in deadline order (one linger
  // limit for all).
  std::list<ConnectionPtr> lingering_;
  // Those of them not looked at yet, and when each is due, in that order (LookAtNewLingers).
  struct FirstLook {
    ConnectionPtr connection;
    std::chrono::steady_clock::time_point at;
  };
  std::deque<FirstLook> firstLooks_;
  // Set by the loop's last leader for Run, which waits for it before it closes the pool.
  std::mutex endMutex_;
  std::condition_variable endChanged_;
  bool loopEnded_ = false;
  // Last, so that it is destroyed first: its destructor waits for the senders, which use
  // the members above.
  WorkerPool pool_;
};

bool RunHeadLoop(platform::socket_t listener, ConnectionRegistry& connections,
                 ShareRegistry& shares) {
  // A loop per core, each accepting, answering and waiting out its own lingering closes:
  // one thread doing all of it was the limit where two cores had shared the work
  // (docs/PERFORMANCE.md).
  struct Accepting {
    platform::Readiness readiness;
    std::unique_ptr<HeadLoop> loop;
    std::thread thread;
  };
  const std::size_t wanted =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMostLoopsThatAccept);
  std::vector<std::unique_ptr<Accepting>> loops;
  std::atomic<bool> listenerEnded{false};
  const auto wakeAll = [&loops] {
    for (const auto& a : loops) a->loop->Wake();
  };
  for (std::size_t i = 0; i < wanted; ++i) {
    auto a = std::make_unique<Accepting>();
    if (!a->readiness.Valid()) break;
    a->loop = std::make_unique<HeadLoop>(listener, a->readiness, connections, shares);
    if (!a->loop->WatchListener()) break;
    a->loop->ShareListenerEnd(listenerEnded, wakeAll);
    loops.push_back(std::move(a));
  }
  if (loops.empty()) return false;
  connections.SetWaitingHeadsListener(wakeAll);
  for (std::size_t i = 1; i < loops.size(); ++i) {
    HeadLoop& loop = *loops[i]->loop;
    try {
      loops[i]->thread = std::thread([&loop] { loop.Run(); });
    } catch (const std::system_error&) {
      break;  // the loops started take everything: one left unrun only shares the wake-ups
    }
  }
  loops[0]->loop->Run();
  for (const auto& a : loops) {
    if (a->thread.joinable()) a->thread.join();
  }
  connections.SetWaitingHeadsListener(nullptr);
  return true;
}

struct ParkedHeads::Loop {
  Loop(ConnectionRegistry& connections, ShareRegistry& shares,
       std::chrono::milliseconds idleLifetime)
      : loop(platform::kInvalidSocket, readiness, connections, shares, idleLifetime) {}
  platform::Readiness readiness;
  HeadLoop loop;
  std::thread thread;
  // Its Run has returned, its senders included: joining the thread no longer waits.
  std::atomic<bool> finished{false};
};

ParkedHeads::ParkedHeads(ConnectionRegistry& connections, ShareRegistry& shares,
                         std::size_t headsPerLoop, std::chrono::milliseconds extraLoopLifetime)
    : connections_(connections),
      shares_(shares),
      headsPerLoop_(std::max<std::size_t>(headsPerLoop, 1)),
      extraLoopLifetime_(extraLoopLifetime) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // The first loop stays for good: the common case (a head or two at a time) never
    // starts or ends a thread.
    if (StartLoop(std::chrono::milliseconds(0)) == nullptr) return;
  }
  // The stop and a head given up concern every loop: each closes what it holds. Set
  // outside `mutex_`: the registry calls it under its own lock, which then takes this one.
  connections_.SetWaitingHeadsListener([this] {
    std::lock_guard<std::mutex> wakeGuard(mutex_);
    for (const auto& loop : loops_) loop->loop.Wake();
  });
}

ParkedHeads::~ParkedHeads() {
  if (loops_.empty()) return;
  connections_.SetWaitingHeadsListener(nullptr);
  for (const auto& loop : loops_) loop->loop.End();
  for (const auto& loop : loops_) loop->thread.join();
}

ParkedHeads::Loop* ParkedHeads::StartLoop(std::chrono::milliseconds idleLifetime) {
  auto loop = std::make_unique<Loop>(connections_, shares_, idleLifetime);
  if (!loop->readiness.Valid()) return nullptr;
  Loop& started = *loop;
  try {
    loop->thread = std::thread([&started] {
      started.loop.Run();
      started.finished.store(true);
    });
  } catch (const std::system_error&) {
    return nullptr;  // no thread for it: the loops there are take more
  }
  loops_.push_back(std::move(loop));
  return &started;
}

void ParkedHeads::ForgetFinishedLoops() {
  for (auto it = loops_.begin(); it != loops_.end();) {
    if ((*it)->finished.load()) {
      (*it)->thread.join();
      it = loops_.erase(it);
    } else {
      ++it;
    }
  }
}

bool ParkedHeads::Park(ConnectionPtr connection) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (loops_.empty()) return false;
  ForgetFinishedLoops();
  // A loop that retired since it was looked at refuses the head; the next one is tried.
  for (const auto& loop : loops_) {
    if (loop->loop.Load() < headsPerLoop_ && !loop->loop.Retired() && loop->loop.Park(connection)) {
      return true;
    }
  }
  if (Loop* started = StartLoop(extraLoopLifetime_)) return started->loop.Park(connection);
  // No thread for another loop: the least loaded of those that still take heads.
  Loop* chosen = nullptr;
  for (const auto& loop : loops_) {
    if (loop->loop.Retired()) continue;
    if (chosen == nullptr || loop->loop.Load() < chosen->loop.Load()) chosen = loop.get();
  }
  return chosen != nullptr && chosen->loop.Park(std::move(connection));
}

std::size_t ParkedHeads::LoopCount() {
  std::lock_guard<std::mutex> guard(mutex_);
  ForgetFinishedLoops();
  std::size_t taking = 0;
  for (const auto& loop : loops_) {
    if (!loop->loop.Retired()) ++taking;
  }
  return taking;
}

}  // namespace qc
