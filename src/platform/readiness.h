// One thread's wait for many sockets at once: the readiness loop that waits for the heads
// of every connection, so that a connection costs a thread only while its answer moves.
// Natively epoll, woken from other threads through an eventfd. The Windows build has
// none yet (Valid is false) and keeps a thread per connection.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/native_types.h"

namespace qc::platform {

class Readiness {
 public:
  Readiness();
  ~Readiness();
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  // False where the system offers no such wait, or refused to make one: the caller then
  // waits with a thread per connection.
  bool Valid() const;

  // Watches the listening socket for connections to accept, for as long as it stays
  // watched, and makes its accepts return at once (Accept then fails with
  // IsNothingToAccept when another look found the connection gone).
  bool WatchListener(socket_t listener, void* token);
  // Stops or resumes reporting the listener (a pause after a failed accept): while paused
  // nothing of it is reported, not even a hang-up.
  bool PauseListener(socket_t listener, void* token, bool paused);
  // Reports `s` once when bytes (or its close) can be read, then not again until Rearm:
  // a connection handed to another thread is never reported meanwhile. Closing `s` ends
  // the watch with no call.
  bool WatchOnce(socket_t s, void* token);
  bool Rearm(socket_t s, void* token);

  // Waits until something watched is ready, Wake is called, or `timeout` has passed
  // (negative: no limit). `ready` receives the tokens of what is ready, `wakeToken` for a
  // Wake (once however many came). False when the wait itself failed.
  bool Wait(std::vector<void*>& ready, std::chrono::milliseconds timeout, void* wakeToken);
  // From any thread: ends the current or the next Wait.
  void Wake();

 private:
  // The native wait's descriptors (epoll, eventfd); the Windows build has no wait yet.
  [[maybe_unused]] std::intptr_t wait_ = -1;
  [[maybe_unused]] std::intptr_t wake_ = -1;
};

// One receive that never waits: bytes received (> 0), 0 when the peer closed, -1 on an
// error, or kNothingYet.
inline constexpr long long kNothingYet = -2;
long long ReceiveNow(socket_t s, char* buffer, std::size_t size);

// Whether an accept's failure only says that no connection was waiting (a listener that
// returns at once, see Readiness::WatchListener).
bool IsNothingToAccept(int error);

}  // namespace qc::platform
