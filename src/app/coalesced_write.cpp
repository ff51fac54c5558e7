#include "app/coalesced_write.h"

#include <utility>

namespace qc {

CoalescedWrite::CoalescedWrite(std::function<void()> write, std::chrono::milliseconds interval)
    : write_(std::move(write)), interval_(interval) {}

CoalescedWrite::~CoalescedWrite() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void CoalescedWrite::Ask() {
  std::unique_lock lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!pending_ && (last_ == std::chrono::steady_clock::time_point{} || now - last_ >= interval_)) {
    last_ = now;
    lock.unlock();
    write_();
    return;
  }
  if (pending_) return;  // the write at the interval's end takes this state too
  pending_ = true;
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  lock.unlock();
  wake_.notify_one();
}

void CoalescedWrite::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stopping_; });
    // The interval since the latest write first, unless the owner goes away meanwhile.
    if (pending_) wake_.wait_until(lock, last_ + interval_, [this] { return stopping_; });
    if (!pending_) return;  // stopping, with nothing asked
    pending_ = false;
    last_ = std::chrono::steady_clock::now();
    lock.unlock();
    write_();
    lock.lock();
    if (stopping_ && !pending_) return;
  }
}

}  // namespace qc
