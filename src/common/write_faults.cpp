// The write-failure hook both File implementations consult, so tests can make the Nth
// write fail (a full disk) on either build.
#include <atomic>

namespace qc::platform {
namespace {
std::atomic<int> writesLeft{-1};
}

void FailWritesAfterForTesting(int count) { writesLeft.store(count); }

// True when the next write may go ahead.
bool ConsumeWriteAllowance() {
  int left = writesLeft.load();
  while (left >= 0) {
    if (left == 0) return false;
    if (writesLeft.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

}  // namespace qc::platform
