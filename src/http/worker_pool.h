// Threads that serve connections, kept for reuse: starting a thread costs a good part of a
// small request, most of all on Windows.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace qc {

// How long a thread waits for a next connection before it ends: long enough to carry a
// burst of requests on the same threads, short enough that a pool grown by a peak gives
// its threads back soon after.
inline constexpr std::chrono::seconds kWorkerIdleLifetime{5};

// Each thread's stack. A connection's deepest path (the response writer with its last
// piece, the parser, the system's socket and file calls) needs a few KiB; the rest is
// margin. Sanitizer builds need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kWorkerStackSize = std::size_t{1024} * 1024;
#else
inline constexpr std::size_t kWorkerStackSize = std::size_t{256} * 1024;
#endif

// Runs each job on a thread of its own at once: an idle thread when there is one,
// otherwise a new one. So a job never waits for another job, and there are as many
// threads as jobs running (no cap, as with one new thread per connection); idle threads
// end after kWorkerIdleLifetime. The destructor waits until every thread has ended, which
// means it waits for running jobs to return.
class WorkerPool {
 public:
  explicit WorkerPool(std::chrono::milliseconds idleLifetime = kWorkerIdleLifetime);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False when the job could not be given a thread (none idle and none could be started,
  // or the pool was closed); the job has then not run and never will.
  bool Run(std::function<void()> job);
  // What the destructor does, earlier: takes no more jobs and waits until every thread has
  // ended.
  void Close();

  // For tests: threads alive, and those of them waiting for a job.
  std::size_t ThreadCount() const;
  std::size_t IdleCount() const;

  struct State;  // shared with the threads, so that it outlives the last of them

 private:
  std::shared_ptr<State> state_;
};

}  // namespace qc
