// A write that many threads ask for, made at most once per interval: the first request
// after a quiet interval writes at once on the asking thread, so that what it wrote is on
// the disk when it returns; requests within the interval after a write are gathered into
// one more write at its end, made by a thread of its own. What is still asked for when the
// object goes away is written before it does.
//
// The completed-download counts use it: written durably for every download, a small answer
// cost twice the system calls (under Wine, 44 instead of 23 wineserver round trips) and an
// fsync each.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qc {

class CoalescedWrite {
 public:
  CoalescedWrite(std::function<void()> write, std::chrono::milliseconds interval);
  ~CoalescedWrite();
  CoalescedWrite(const CoalescedWrite&) = delete;
  CoalescedWrite& operator=(const CoalescedWrite&) = delete;

  // Asks for a write of the state as it is now (or later).
  void Ask();

 private:
  void Run();

  const std::function<void()> write_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point last_{};  // when the latest write began
  bool pending_ = false;                          // a write asked for and not yet begun
  bool stopping_ = false;
  std::thread thread_;  // started by the first request it has to gather
};

}  // namespace qc
