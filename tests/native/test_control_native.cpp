// The native control loop under clients and conditions that must not hold it: a client
// that trickles its request, and a process out of descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/control_channel.h"
#include "platform/runtime_directory.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A client of the control socket that writes its pieces with a pause before each but the
// first, whatever the server does meanwhile, and then closes.
class TricklingClient {
 public:
  TricklingClient(std::vector<std::string> pieces, milliseconds pause)
      : thread_([this, pieces = std::move(pieces), pause] {
          const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_un address{};
          address.sun_family = AF_UNIX;
          const std::string path = platform::ControlSocketPath();
          std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
          connected_ = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
          for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(pause);
            if (i == 0) firstByte_ = Clock::now();
            // A server that has given up makes this fail; the schedule stays the same.
            ::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
          }
          ::close(fd);
          finished_ = true;
        }) {}
  ~TricklingClient() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Connected() const { return connected_; }
  bool Finished() const { return finished_; }
  Clock::time_point FirstByte() const { return firstByte_; }

 private:
  std::atomic<bool> connected_{false};
  std::atomic<bool> finished_{false};
  Clock::time_point firstByte_{};
  std::thread thread_;
};

// A share request (the one-way kind) for `path`, cut into its kind byte, its length and
// then pieces of `chunk` bytes of the path.
std::vector<std::string> ShareRequestPieces(const std::string& path, std::size_t chunk) {
  std::vector<std::string> pieces = {
      "S", std::string{static_cast<char>(path.size() & 0xFF), static_cast<char>(path.size() >> 8)}};
  for (std::size_t i = 0; i < path.size(); i += chunk) pieces.push_back(path.substr(i, chunk));
  return pieces;
}

// The control loop on a thread of its own, keeping the share paths it is given.
class ControlLoopThread {
 public:
  ControlLoopThread() {
    EXPECT_EQ(server_.Open(), platform::ControlSetup::Ok);
    thread_ = std::thread([this] {
      for (;;) {
        const platform::ControlEvent event = server_.Wait();
        if (event == platform::ControlEvent::Stop || event == platform::ControlEvent::Failed) break;
        if (event == platform::ControlEvent::Share) {
          std::lock_guard<std::mutex> guard(mutex_);
          shared_.push_back(server_.TakeSharePath());
        }
      }
      ended_ = true;
    });
  }
  ~ControlLoopThread() {
    if (!ended_) platform::SendControlRequest(platform::ControlRequest::Stop);
    thread_.join();
    server_.Close();
  }
  std::vector<std::string> Shared() {
    std::lock_guard<std::mutex> guard(mutex_);
    return shared_;
  }
  bool Ended() const { return ended_; }

 private:
  platform::ControlServer server_;
  std::mutex mutex_;
  std::vector<std::string> shared_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// The loop serves one client at a time: one that trickles its request (each byte well
// within the wait for the next) would hold every other request, the stop included.
TEST(ControlLoop, ARequestMustArriveWholeWithinItsTimeLimitFromItsFirstByte) {
  tests::ScopedTempDirectory dir;
  ControlLoopThread loop;
  struct Case {
    const char* name;
    std::string path;
    std::size_t chunk;
    milliseconds pause;
    bool served;
  };
  const Case cases[] = {
      {"whole at once", "/d/at-once.txt", 100, milliseconds(0), true},
      {"in pieces, all within the limit", "/d/pieces.txt", 4, milliseconds(250), true},
      // Each pause shorter than the wait for a next byte, the whole far past the limit.
      {"trickled past the limit", "/d/t.txt", 1, milliseconds(400), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TricklingClient client(ShareRequestPieces(c.path, c.chunk), c.pause);
    client.Join();
    ASSERT_TRUE(client.Connected());
    tests::WaitFor([&] { return Contains(loop.Shared(), c.path); }, 1000);
    EXPECT_EQ(Contains(loop.Shared(), c.path), c.served);
  }
  // A stop that arrives behind a trickling client is served once that client's time is
  // up, long before it would have finished.
  TricklingClient slow(ShareRequestPieces("/d/" + std::string(12, 's'), 1), milliseconds(300));
  std::this_thread::sleep_for(milliseconds(300));
  ASSERT_EQ(platform::SendControlRequest(platform::ControlRequest::Stop),
            platform::ControlSend::Delivered);
  ASSERT_TRUE(tests::WaitFor([&] { return loop.Ended(); }, 10000));
  EXPECT_FALSE(slow.Finished()) << "the stop waited for the trickling client";
}

// CPU time (user and system) that process `pid` has used so far.
milliseconds CpuTimeOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // After the command name in parentheses: the state (field 3), ... utime (14), stime (15).
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return milliseconds(-1);
  std::istringstream rest(text.substr(close + 1));
  std::vector<std::string> fields{std::istream_iterator<std::string>(rest),
                                  std::istream_iterator<std::string>()};
  if (fields.size() < 13) return milliseconds(-1);
  const long long ticks = std::stoll(fields[11]) + std::stoll(fields[12]);
  return milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

char ReadByte(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  char byte = 0;
  if (::poll(&p, 1, timeoutMs) != 1 || ::read(fd, &byte, 1) != 1) return 0;
  return byte;
}

// Out of descriptors, the control socket stays readable while its accept fails: the loop
// must wait before it tries again, not spin, and serve the request once one is free.
TEST(ControlLoop, OutOfDescriptorsItWaitsForOneInsteadOfSpinning) {
  tests::ScopedTempDirectory dir;
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe2(toParent, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The server, with no test framework: it says how far it got by its exit status.
    platform::ControlServer server;
    if (server.Open() != platform::ControlSetup::Ok) ::_exit(10);
    // Served once while descriptors are there: the sanitizers' first checks of a type
    // need a pipe of their own.
    if (::write(toParent[1], "o", 1) != 1) ::_exit(11);
    if (server.Wait() != platform::ControlEvent::Panel) ::_exit(12);
    std::vector<int> fillers;
    // Gives descriptors back when the parent says so; started while it still can be.
    std::thread release([&] {
      if (ReadByte(toChild[0], 30000) == 'g') {
        for (int i = 0; i < 4 && !fillers.empty(); ++i) {
          ::close(fillers.back());
          fillers.pop_back();
        }
      }
    });
    rlimit few{256, 256};
    ::setrlimit(RLIMIT_NOFILE, &few);
    for (int fd; (fd = ::dup(toParent[1])) >= 0;) fillers.push_back(fd);
    if (::write(toParent[1], "s", 1) != 1) ::_exit(13);
    const platform::ControlEvent event = server.Wait();
    release.join();
    server.Close();
    ::_exit(event == platform::ControlEvent::Panel ? 0 : 14);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  EXPECT_EQ(ReadByte(toParent[0], 10000), 'o');
  EXPECT_EQ(platform::SendControlRequest(platform::ControlRequest::Panel),
            platform::ControlSend::Delivered);
  EXPECT_EQ(ReadByte(toParent[0], 10000), 's');
  // Waits in the backlog: the server cannot accept it.
  EXPECT_EQ(platform::SendControlRequest(platform::ControlRequest::Panel),
            platform::ControlSend::Delivered);
  std::this_thread::sleep_for(milliseconds(300));
  const milliseconds before = CpuTimeOf(child);
  const milliseconds window(2000);
  std::this_thread::sleep_for(window);
  const milliseconds used = CpuTimeOf(child) - before;
  EXPECT_EQ(::write(toChild[1], "g", 1), 1);
  int status = -1;
  const bool ended =
      tests::WaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000);
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ::close(toParent[0]);
  ::close(toChild[1]);
  ASSERT_TRUE(ended) << "the request was not served once descriptors were free";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // A loop that waits between attempts uses next to nothing; one that spins uses whatever
  // share of a core it gets (a tenth even on this machine at its busiest).
  EXPECT_LT(used.count(), window.count() / 10) << "CPU used while out of descriptors";
}

}  // namespace
}  // namespace qc
