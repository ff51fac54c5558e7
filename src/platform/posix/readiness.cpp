#include "platform/readiness.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace qc::platform {

namespace {
// What one wait takes from the kernel at most; more ready sockets wait for the next one,
// which then comes at once.
constexpr int kEventsPerWait = 256;
#ifdef EPOLLEXCLUSIVE
constexpr std::uint32_t kListenerEvents = EPOLLIN | EPOLLEXCLUSIVE;
#else
constexpr std::uint32_t kListenerEvents = EPOLLIN;
#endif

// The eventfd's own mark in the events: no socket's token is ever null.
constexpr std::uint64_t kWakeMark = 0;

bool Control(int wait, int op, socket_t s, void* token, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = token;
  return ::epoll_ctl(wait, op, s, &event) == 0;
}

// A kernel older than the exclusive watch (Linux 4.5) refuses it: every loop is then woken
// for each connection, and one of them accepts it.
bool WatchListenerEvents(int wait, socket_t listener, void* token) {
  return Control(wait, EPOLL_CTL_ADD, listener, token, kListenerEvents) ||
         (kListenerEvents != EPOLLIN && Control(wait, EPOLL_CTL_ADD, listener, token, EPOLLIN));
}

}  // namespace

struct Readiness::State {
  int wait = -1;  // epoll
  int wake = -1;  // eventfd
};

Readiness::Readiness() : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.wait = ::epoll_create1(EPOLL_CLOEXEC);
  st.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (st.wait < 0 || st.wake < 0) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeMark;
  if (::epoll_ctl(st.wait, EPOLL_CTL_ADD, st.wake, &event) != 0) {
    ::close(st.wake);
    st.wake = -1;
  }
}

Readiness::~Readiness() {
  if (state_->wait >= 0) ::close(state_->wait);
  if (state_->wake >= 0) ::close(state_->wake);
}

// epoll's wait costs what is ready, not what is watched.
std::size_t Readiness::MostWatched() { return SIZE_MAX; }

bool Readiness::Valid() const { return state_->wait >= 0 && state_->wake >= 0; }

bool Readiness::WatchListener(socket_t listener, void* token) {
  // Only this loop accepts: a readiness it was told of is still there when it accepts,
  // unless the client reset meanwhile, and then the accept must fail rather than wait.
  const int flags = ::fcntl(listener, F_GETFL);
  if (flags < 0 || ::fcntl(listener, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  // Level-triggered: a backlog of many is taken one accept per look, and what is left is
  // reported again at once. Exclusive: where several loops watch the listener, a new
  // connection wakes one of those waiting, not all of them.
  return WatchListenerEvents(state_->wait, listener, token);
}

bool Readiness::PauseListener(socket_t listener, void* token, bool paused) {
  // Out of the set while paused: epoll reports a hang-up whatever the events asked for, and
  // a listener shut down without a stop would otherwise be reported again at once, for
  // ever.
  if (paused) return Control(state_->wait, EPOLL_CTL_DEL, listener, token, 0);
  return WatchListenerEvents(state_->wait, listener, token);
}

bool Readiness::WatchOnce(socket_t s, void* token) {
  return Control(state_->wait, EPOLL_CTL_ADD, s, token, EPOLLIN | EPOLLRDHUP | EPOLLONESHOT);
}

bool Readiness::Rearm(socket_t s, void* token) {
  // The kernel looks at the socket again as it rearms it: bytes that came meanwhile are
  // reported by the next wait.
  return Control(state_->wait, EPOLL_CTL_MOD, s, token, EPOLLIN | EPOLLRDHUP | EPOLLONESHOT);
}

// The close ends the watch: no call for each connection handed over.
void Readiness::Forget(socket_t) {}

bool Readiness::Wait(std::vector<void*>& ready, std::chrono::milliseconds timeout,
                     void* wakeToken) {
  ready.clear();
  epoll_event events[kEventsPerWait];
  const int ms =
      timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), 1 << 30));
  const int n = ::epoll_wait(state_->wait, events, kEventsPerWait, ms);
  if (n < 0) return errno == EINTR;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeMark) {
      std::uint64_t count = 0;
      while (::read(state_->wake, &count, sizeof count) < 0 && errno == EINTR) {
      }
      ready.push_back(wakeToken);
    } else {
      ready.push_back(events[i].data.ptr);
    }
  }
  return true;
}

void Readiness::Wake() {
  const std::uint64_t one = 1;
  while (::write(state_->wake, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

long long ReceiveNow(socket_t s, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(s, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingYet : -1;
  }
}

long long SendNow(socket_t s, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(s, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    return n == 0 || errno == EAGAIN || errno == EWOULDBLOCK ? kNothingYet : -1;
  }
}

bool IsNothingToAccept(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace qc::platform
