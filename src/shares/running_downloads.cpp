#include "shares/running_downloads.h"

#include <algorithm>

namespace qc {

RunningDownloads::Entry::Entry(RunningDownloads& table, const Share* share, std::int64_t total,
                               const std::atomic<std::int64_t>& counter)
    : table_(table) {
  const std::int64_t base = counter.load(std::memory_order_relaxed);
  std::lock_guard guard(table_.mutex_);
  id_ = table_.nextId_++;
  table_.rows_.push_back({id_, share, total, &counter, base});
}

RunningDownloads::Entry::~Entry() {
  std::lock_guard guard(table_.mutex_);
  auto& rows = table_.rows_;
  const auto it =
      std::find_if(rows.begin(), rows.end(), [this](const Row& row) { return row.id == id_; });
  if (it != rows.end()) rows.erase(it);
}

std::vector<RunningDownloads::Progress> RunningDownloads::Snapshot() const {
  std::vector<Progress> shares;
  std::lock_guard guard(mutex_);
  for (const Row& row : rows_) {
    // The head went through the same counter: what passes the body's size is not body.
    const std::int64_t sent = std::clamp<std::int64_t>(
        row.counter->load(std::memory_order_relaxed) - row.base, 0, row.total);
    auto it = std::find_if(shares.begin(), shares.end(),
                           [&row](const Progress& p) { return p.share == row.share; });
    if (it == shares.end()) {
      shares.push_back({row.share, 0, 0, 0});
      it = shares.end() - 1;
    }
    it->sent += sent;
    it->total += row.total;
    ++it->answers;
  }
  return shares;
}

}  // namespace qc
