// The readiness loops that wait for heads: each accepts connections, receives each head
// as it arrives without ever waiting on one socket, answers what goes out without waiting
// and waits out its lingering close beside the rest, and passes its lead to another thread
// before anything that would wait. An idle connection so costs a descriptor and the
// buffer its head has filled so far, not a thread.
#pragma once
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "http/connection.h"
#include "platform/readiness.h"
#include "platform/socket.h"
#include "shares/share_registry.h"

namespace qc {

// How long a loop started for a crowd of waiting heads lives on without any: long enough
// that a crowd that comes in waves reuses its loops, short against a server's uptime.
inline constexpr std::chrono::seconds kExtraHeadLoopLifetime{30};

// Loops that accept at most, one per core up to this.
inline constexpr std::size_t kMostLoopsThatAccept = 4;

// Runs a loop per core (at most kMostLoopsThatAccept), each accepting from `listener`,
// one on the calling thread, until the registry's stop has begun and the listener was
// woken for good (platform::InterruptSocket); returns once every loop and every sending
// thread they started has ended. False at once, having done nothing, where the system
// offers no readiness wait (the caller then serves with a thread per connection).
bool RunHeadLoop(platform::socket_t listener, ConnectionRegistry& connections,
                 ShareRegistry& shares);

// The same loop where threads accept, each serving what it accepted (Windows, where a
// loop that accepts costs more per request: readiness.h): a connection whose head did not
// come with it waits here instead of holding its thread, and a sending thread of the
// loop's answers it once the head is whole. Each loop waits for at most `headsPerLoop`
// heads (platform::Readiness::MostWatched); more start another loop, on a thread of its
// own, which ends by itself once it has held no head for `extraLoopLifetime`: a crowd of
// silent connections leaves no threads behind. The first loop, and every other still
// running, end with the registry's stop, and at the latest when this is destroyed.
class ParkedHeads {
 public:
  ParkedHeads(ConnectionRegistry& connections, ShareRegistry& shares,
              std::size_t headsPerLoop = platform::Readiness::MostWatched(),
              std::chrono::milliseconds extraLoopLifetime = kExtraHeadLoopLifetime);
  ~ParkedHeads();
  ParkedHeads(const ParkedHeads&) = delete;
  ParkedHeads& operator=(const ParkedHeads&) = delete;

  // Hands a registered connection, its head not whole yet and nothing waiting on its
  // socket, to a loop. False where the system offers no readiness wait, or once the loops
  // have ended (the stop): the connection stays the caller's.
  bool Park(ConnectionPtr connection);
  // The loops that take heads now: the first, and those started for a crowd that have
  // not yet ended idle.
  std::size_t LoopCount();

 private:
  struct Loop;
  // Under mutex_; null when no loop could be started. `idleLifetime` 0: it never retires.
  Loop* StartLoop(std::chrono::milliseconds idleLifetime);
  // Under mutex_: joins and drops the loops that retired and have returned.
  void ForgetFinishedLoops();

  ConnectionRegistry& connections_;
  ShareRegistry& shares_;
  const std::size_t headsPerLoop_;
  const std::chrono::milliseconds extraLoopLifetime_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Loop>> loops_;
};

}  // namespace qc
