#include "platform/readiness.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <unordered_map>

#include "platform/os_windows.h"
#include "platform/win32/wake_socket.h"
#include "platform/windows_handles.h"

namespace qc::platform {

// WSAPoll over every socket armed, rebuilt for each wait: one call however many sockets,
// on Windows and under Wine alike (a select takes 64 at most, an event per socket needs
// WaitForMultipleObjects' 64 too, and a completion port needs a receive posted per
// connection, which under Wine is a round trip to wineserver each).
struct Readiness::State {
  UniqueSocket wake;  // Wake()'s byte arrives here
  std::atomic<bool> wakeSent{false};
  // The sockets armed, their tokens alongside, and where each is in the two.
  std::vector<WSAPOLLFD> armed;
  std::vector<void*> armedTokens;
  std::unordered_map<socket_t, std::size_t> armedPlace;
  // One wait's array and what it reported, kept between waits for their room.
  std::vector<WSAPOLLFD> polled;
  std::vector<socket_t> fired;

  void Arm(socket_t s, void* token) {
    auto [place, added] = armedPlace.try_emplace(s, armed.size());
    if (!added) {
      armedTokens[place->second] = token;
      return;
    }
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = POLLRDNORM;
    armed.push_back(entry);
    armedTokens.push_back(token);
  }

  void Disarm(socket_t s) {
    auto place = armedPlace.find(s);
    if (place == armedPlace.end()) return;
    const std::size_t at = place->second;
    armedPlace.erase(place);
    const std::size_t last = armed.size() - 1;
    if (at != last) {
      armed[at] = armed[last];
      armedTokens[at] = armedTokens[last];
      armedPlace[armed[at].fd] = at;
    }
    armed.pop_back();
    armedTokens.pop_back();
  }
};

Readiness::Readiness() : state_(std::make_unique<State>()) {
  sockaddr_in address{};
  state_->wake = OpenWakeSocket(address);
}

Readiness::~Readiness() = default;

// Under Wine one WSAPoll that finds nothing ready takes 0.25 ms over 100 sockets, 0.5 ms
// over 256, 3.9 ms over 1,000 and 270 ms over 10,000 (a process holding 10,000 sockets,
// timeout 0): each wait must stay small, or every head that arrives waits for the others.
std::size_t Readiness::MostWatched() { return 256; }

bool Readiness::Valid() const { return static_cast<bool>(state_->wake); }

// Threads accept here, each serving what it accepted, and the wait takes only the heads
// that did not come with their connection (ParkedHeads). Under Wine a wait that finds
// nothing ready yet is five round trips to wineserver (the poll, its wait, the wake-up's
// completion), and a loop that accepts waits so once for every connection at one request
// at a time: 30.0 requests per 4 KiB answer against 22.1 for threads that accept, which
// find the next connection mostly there already (docs/PERFORMANCE.md).
bool Readiness::WatchListener(socket_t, void*) { return false; }
bool Readiness::PauseListener(socket_t, void*, bool) { return false; }

bool Readiness::WatchOnce(socket_t s, void* token) {
  state_->Arm(s, token);
  return true;
}

bool Readiness::Rearm(socket_t s, void* token) {
  state_->Arm(s, token);
  return true;
}

void Readiness::Forget(socket_t s) { state_->Disarm(s); }

bool Readiness::Wait(std::vector<void*>& ready, std::chrono::milliseconds timeout,
                     void* wakeToken) {
  ready.clear();
  State& st = *state_;
  auto& polled = st.polled;
  polled.clear();
  auto add = [&polled](socket_t s) {
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = POLLRDNORM;
    polled.push_back(entry);
  };
  add(st.wake.get());
  const std::size_t fixed = polled.size();
  polled.insert(polled.end(), st.armed.begin(), st.armed.end());
  const int ms =
      timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
  const int n = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), ms);
  if (n == SOCKET_ERROR) return false;
  if (n == 0) return true;
  if (polled[0].revents != 0) {
    // Cleared after the drain, not before: a Wake whose byte the drain took would leave
    // it set with no byte waiting, and no later Wake would send one. A Wake before the
    // clear is seen by the caller, which looks at what it was woken for after this wait.
    DrainWakeSocket(st.wake.get());
    st.wakeSent.store(false);
    ready.push_back(wakeToken);
  }
  // Reported once: disarmed until Rearm, after the loop, as Disarm moves entries.
  st.fired.clear();
  for (std::size_t i = fixed; i < polled.size(); ++i) {
    if (polled[i].revents == 0) continue;
    ready.push_back(st.armedTokens[i - fixed]);
    st.fired.push_back(polled[i].fd);
  }
  for (const socket_t s : st.fired) st.Disarm(s);
  return true;
}

void Readiness::Wake() {
  if (state_->wakeSent.exchange(true)) return;  // one byte is enough until it is drained
  const char byte = 0;
  if (::send(state_->wake.get(), &byte, 1, 0) != 1) state_->wakeSent.store(false);
}

long long ReceiveNow(socket_t s, char* buffer, std::size_t size) {
  // Connection sockets are non-blocking here (socket.cpp), so a receive never waits.
  const int n = ::recv(s, buffer, static_cast<int>(size), 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingYet : -1;
}

long long SendNow(socket_t s, const char* data, std::size_t size) {
  // Non-blocking as for ReceiveNow.
  const int n = ::send(s, data, static_cast<int>(size), 0);
  if (n > 0) return n;
  if (n == 0) return kNothingYet;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingYet : -1;
}

bool IsNothingToAccept(int error) { return error == WSAEWOULDBLOCK; }

}  // namespace qc::platform
