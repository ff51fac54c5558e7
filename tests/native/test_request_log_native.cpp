// The request log's queue: whoever reads standard output, or fails to, never holds the
// connection that logs or the stop; what had to be dropped is counted and told.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/request_log.h"
#include "unit/test_support.h"

namespace qc::cli {
namespace {

using std::chrono::milliseconds;

// A pipe whose write end holds as little as the system allows (one page).
struct SmallPipe {
  SmallPipe() {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  }
  ~SmallPipe() {
    if (fds[0] >= 0) ::close(fds[0]);
    ::close(fds[1]);
  }
  // Everything that arrives until nothing has come for `quiet`.
  std::string ReadUntilQuiet(milliseconds quiet) {
    std::string out;
    char buffer[4096];
    for (;;) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) != 1) return out;
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n <= 0) return out;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }
  int fds[2] = {-1, -1};
};

std::string Line(int i) {
  std::string line = "line " + std::to_string(i) + " ";
  return line + std::string(99 - line.size(), 'x') + "\n";  // 100 bytes
}

// Runs `work` on a thread and says whether it returned within `limit`, so that a hang
// fails the test instead of the binary. A thread still running 10 s later would go on
// over the test's destroyed objects: the binary stops, naming the test.
template <typename F>
bool ReturnsWithin(milliseconds limit, F work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([done, work]() mutable {
    work();
    *done = true;
  }).detach();
  if (tests::WaitFor([&] { return done->load(); }, static_cast<int>(limit.count()))) return true;
  if (!tests::WaitFor([&] { return done->load(); }, 10000)) {
    std::fprintf(stderr, "%s: a call that must not wait for the reader still waits; stopping\n",
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::abort();
  }
  return false;
}

TEST(RequestLogQueue, AReaderThatDoesNotReadHoldsNobodyAndWhatWasDroppedIsCountedOnceItDrains) {
  // A reader gone for good must not end the test process either.
  ::signal(SIGPIPE, SIG_IGN);
  SmallPipe pipe;
  constexpr int kLines = 200;
  {
    // The pipe holds about 40 lines, the queue 10: most of the 200 cannot be kept.
    RequestLog log(pipe.fds[1], 1000);
    ASSERT_TRUE(ReturnsWithin(milliseconds(5000), [&log] {
      for (int i = 0; i < kLines; ++i) log.Add(Line(i));
    })) << "adding a line waited for the reader";
    // Once the reader reads, every line kept arrives in order and whole; each time the
    // queue drained after a drop, the count dropped since the last note; the last lines
    // were dropped, so a note ends it.
    const std::string out = pipe.ReadUntilQuiet(milliseconds(1000));
    std::size_t logged = 0;
    unsigned long long dropped = 0;
    std::string last;
    int next = 0;
    for (std::size_t start = 0; start < out.size();) {
      const std::size_t end = out.find('\n', start);
      ASSERT_NE(end, std::string::npos) << "a line cut short";
      last = out.substr(start, end + 1 - start);
      start = end + 1;
      if (last.rfind("quillcast: ", 0) == 0) {
        const unsigned long long count = std::stoull(last.substr(11));
        EXPECT_EQ(last, DroppedLinesNote(count));
        dropped += count;
        continue;
      }
      while (next < kLines && Line(next) != last) ++next;
      ASSERT_LT(next, kLines) << "not a line logged, or out of order: " << last;
      ++next;
      ++logged;
    }
    EXPECT_EQ(last.rfind("quillcast: ", 0), 0u) << last;
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(logged + dropped, static_cast<std::size_t>(kLines));
    // Lines after the drain are written again, with no note.
    log.Add(Line(kLines));
    EXPECT_EQ(pipe.ReadUntilQuiet(milliseconds(500)), Line(kLines));
  }
  // The stop: lines still queued go out while the reader takes them, more than the pipe
  // holds at once.
  {
    auto log = std::make_unique<RequestLog>(pipe.fds[1]);
    std::string expected;
    for (int i = 0; i < 100; ++i) {
      log->Add(Line(i));
      expected += Line(i);
    }
    std::string out;
    std::thread reader([&] { out = pipe.ReadUntilQuiet(milliseconds(2000)); });
    EXPECT_TRUE(ReturnsWithin(milliseconds(5000), [&log] { log.reset(); }));
    reader.join();
    EXPECT_EQ(out, expected);
  }
}

TEST(RequestLogQueue, TheStopDoesNotWaitForAReaderThatNeverReads) {
  ::signal(SIGPIPE, SIG_IGN);
  SmallPipe pipe;
  auto log = std::make_unique<RequestLog>(pipe.fds[1], 1 << 20, milliseconds(200));
  for (int i = 0; i < 200; ++i) log->Add(Line(i));  // 20 KB: far more than the pipe holds
  EXPECT_TRUE(ReturnsWithin(milliseconds(5000), [&log] { log.reset(); }))
      << "the stop waited for the reader";
  // The writer, left blocked, ends once the reader is gone.
  ::close(pipe.fds[0]);
  pipe.fds[0] = -1;
}

}  // namespace
}  // namespace qc::cli
