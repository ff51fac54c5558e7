#include "http/worker_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "http/response_writer.h"
#include "platform/thread.h"

namespace qc {

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable jobArrived;
  std::condition_variable threadEnded;
  // Jobs handed to idle threads and not yet taken. Each has its own idle thread: Run
  // queues a job only while there are more idle threads than queued jobs.
  std::deque<std::function<void()>> queue;
  std::size_t threads = 0;
  std::size_t idle = 0;
  bool closing = false;
  std::chrono::milliseconds idleLifetime{0};
};

namespace {
void Work(const std::shared_ptr<WorkerPool::State>& state, std::function<void()> job) {
  for (;;) {
    job();
    job = nullptr;  // the job's captures go now, not when the next one comes
    std::unique_lock<std::mutex> lock(state->mutex);
    ++state->idle;
    const bool got = state->jobArrived.wait_for(
        lock, state->idleLifetime, [&] { return !state->queue.empty() || state->closing; });
    --state->idle;
    if (!got || state->queue.empty()) {
      lock.unlock();
      ReleasePieceBuffer();
      lock.lock();
      --state->threads;
      state->threadEnded.notify_all();
      return;  // `state` stays alive through this thread's own reference
    }
    job = std::move(state->queue.front());
    state->queue.pop_front();
  }
}
}  // namespace

WorkerPool::WorkerPool(std::chrono::milliseconds idleLifetime) : state_(std::make_shared<State>()) {
  state_->idleLifetime = idleLifetime;
}

WorkerPool::~WorkerPool() { Close(); }

void WorkerPool::Close() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->closing = true;
  state_->jobArrived.notify_all();
  state_->threadEnded.wait(lock, [&] { return state_->threads == 0; });
}

bool WorkerPool::Run(std::function<void()> job) {
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->closing) return false;
    if (state_->idle > state_->queue.size()) {
      state_->queue.push_back(std::move(job));
      // Woken once the lock is free, so that the thread does not wake only to wait for it.
      lock.unlock();
      state_->jobArrived.notify_one();
      return true;
    }
    ++state_->threads;
  }
  std::shared_ptr<State> state = state_;
  auto body = [state, job = std::move(job)]() mutable { Work(state, std::move(job)); };
  if (platform::StartDetachedThread(std::move(body), kWorkerStackSize)) return true;
  std::lock_guard<std::mutex> lock(state_->mutex);
  --state_->threads;
  state_->threadEnded.notify_all();
  return false;
}

std::size_t WorkerPool::ThreadCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->threads;
}

std::size_t WorkerPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->idle;
}

}  // namespace qc
