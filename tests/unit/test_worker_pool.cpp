#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "http/worker_pool.h"
#include "unit/net_support.h"

namespace qc {
namespace {

using namespace std::chrono_literals;
using tests::WaitFor;

// Jobs that each wait until all of them run at once: a pool that made any job wait for
// another would never let them finish (the wait is bounded, so the test fails instead).
TEST(WorkerPoolThread, EveryJobGetsAThreadAtOnce) {
  constexpr int kJobs = 64;
  std::mutex mutex;
  std::condition_variable allStarted;
  int started = 0;
  std::atomic<int> finishedTogether{0};
  {
    WorkerPool pool;
    for (int i = 0; i < kJobs; ++i) {
      ASSERT_TRUE(pool.Run([&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++started;
        allStarted.notify_all();
        if (allStarted.wait_for(lock, 20s, [&] { return started == kJobs; })) ++finishedTogether;
      }));
    }
    EXPECT_TRUE(WaitFor([&] { return finishedTogether.load() == kJobs; }, 30000));
    EXPECT_EQ(pool.ThreadCount(), static_cast<std::size_t>(kJobs));
  }  // the destructor waits for all of them to end
  EXPECT_EQ(finishedTogether.load(), kJobs);
}

TEST(WorkerPoolThread, IdleThreadsAreReusedAndEndWhenIdleLongEnough) {
  WorkerPool pool(300ms);
  std::mutex mutex;
  std::set<std::thread::id> ids;
  std::atomic<int> done{0};
  auto job = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    ids.insert(std::this_thread::get_id());
    ++done;
  };
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(pool.Run(job));
    // The job has run and its thread waits for the next.
    ASSERT_TRUE(WaitFor([&] { return done.load() == i + 1 && pool.IdleCount() == 1; }));
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ids.size(), 1u);  // one after the other: always the same thread
  }
  EXPECT_EQ(pool.ThreadCount(), 1u);
  // Left idle, the thread ends; the next job starts a new one.
  EXPECT_TRUE(WaitFor([&] { return pool.ThreadCount() == 0; }, 10000));
  ASSERT_TRUE(pool.Run(job));
  EXPECT_EQ(pool.ThreadCount(), 1u);
  EXPECT_TRUE(WaitFor([&] { return done.load() == 21 && pool.IdleCount() == 1; }));
}

TEST(WorkerPoolThread, DestructorEndsIdleThreadsAndWaitsForRunningJobs) {
  std::atomic<bool> jobEnded{false};
  {
    WorkerPool pool;  // idle threads would live for seconds: the destructor must end them
    ASSERT_TRUE(pool.Run([] {}));
    ASSERT_TRUE(WaitFor([&] { return pool.IdleCount() == 1; }));
    ASSERT_TRUE(pool.Run([&] {
      std::this_thread::sleep_for(200ms);
      jobEnded = true;
    }));
  }
  EXPECT_TRUE(jobEnded.load());
}

}  // namespace
}  // namespace qc
