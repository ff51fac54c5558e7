// The answers that are sending a share's bytes right now, for the control panel's progress
// column. Each answer's connection counts what it has handed to the system in an atomic
// counter of its own; the table only knows where those counters are, so the sending path
// touches nothing shared but at its beginning and its end (one short lock each).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qc {

struct Share;

class RunningDownloads {
 public:
  // What one share's running answers have sent so far of what they send in all.
  struct Progress {
    const Share* share = nullptr;  // an identity only: never followed
    std::int64_t sent = 0;
    std::int64_t total = 0;
    int answers = 0;
  };

  // One answer's place in the table, from its first body byte to its last. `counter` is the
  // connection's count of bytes sent, which outlives this; what it held at the start is
  // not this answer's.
  class Entry {
   public:
    Entry(RunningDownloads& table, const Share* share, std::int64_t total,
          const std::atomic<std::int64_t>& counter);
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

   private:
    RunningDownloads& table_;
    std::uint64_t id_;
  };

  // One row per share with answers running, in the order their first answer began.
  std::vector<Progress> Snapshot() const;

 private:
  struct Row {
    std::uint64_t id;
    const Share* share;
    std::int64_t total;
    const std::atomic<std::int64_t>* counter;
    std::int64_t base;
  };
  mutable std::mutex mutex_;
  std::vector<Row> rows_;
  std::uint64_t nextId_ = 1;
};

}  // namespace qc
