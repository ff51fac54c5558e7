// One thread's wait for many sockets at once: the readiness loop that waits for the heads
// of every connection, so that a connection costs a thread only while its answer moves.
// Natively epoll, woken from other threads through an eventfd; on Windows WSAPoll over the
// sockets watched, woken through a datagram socket connected to itself.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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

  // How many sockets one wait should watch at most, beyond which another wait on another
  // thread costs less: unbounded natively; on Windows WSAPoll's cost grows with the square
  // of its sockets under Wine.
  static std::size_t MostWatched();

  // Watches the listening socket for connections to accept, for as long as it stays
  // watched, and makes its accepts return at once (Accept then fails with
  // IsNothingToAccept when another look found the connection gone).
  bool WatchListener(socket_t listener, void* token);
  // Stops or resumes reporting the listener (a pause after a failed accept): while paused
  // nothing of it is reported, not even a hang-up.
  bool PauseListener(socket_t listener, void* token, bool paused);
  // Reports `s` once when bytes (or its close) can be read, then not again until Rearm:
  // a connection handed to another thread is never reported meanwhile.
  bool WatchOnce(socket_t s, void* token);
  bool Rearm(socket_t s, void* token);
  // Ends the watch of `s`: called before `s` is closed or handed to another thread, since
  // Windows reuses a closed socket's handle for the next one and the wait would report
  // the new socket under the old one's token. (Natively the close ends it anyway.)
  void Forget(socket_t s);

  // Waits until something watched is ready, Wake is called, or `timeout` has passed
  // (negative: no limit). `ready` receives the tokens of what is ready, `wakeToken` for a
  // Wake (once however many came). False when the wait itself failed.
  bool Wait(std::vector<void*>& ready, std::chrono::milliseconds timeout, void* wakeToken);
  // From any thread: ends the current or the next Wait.
  void Wake();

 private:
  struct State;  // the system's own: descriptors natively, the watched sockets on Windows
  std::unique_ptr<State> state_;
};

// One receive that never waits: bytes received (> 0), 0 when the peer closed, -1 on an
// error, or kNothingYet.
inline constexpr long long kNothingYet = -2;
long long ReceiveNow(socket_t s, char* buffer, std::size_t size);
// One send that never waits: bytes the socket took (> 0), kNothingYet when it took none,
// or -1 on an error.
long long SendNow(socket_t s, const char* data, std::size_t size);

// Whether an accept's failure only says that no connection was waiting (a listener that
// returns at once, see Readiness::WatchListener).
bool IsNothingToAccept(int error);

}  // namespace qc::platform
