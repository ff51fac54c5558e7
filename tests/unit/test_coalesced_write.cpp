// Writes asked for by many answers, gathered: the first after a quiet interval at once on
// the asking thread, the rest of the interval in one write at its end, and nothing asked
// for lost when the owner goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/coalesced_write.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;

TEST(CoalescedWrite, AsksWithinOneIntervalBecomeOneWriteAndNoneIsLost) {
  const struct {
    const char* name;
    int asks;          // made one after another at once
    int writesBefore;  // written before the owner goes away (an interval of an hour)
    int writesInAll;   // once it has gone
  } cases[] = {
      {"none asked", 0, 0, 0},
      {"one, written on the asking thread", 1, 1, 1},
      {"many: the first now, the others in one more", 500, 1, 2},
  };
  for (const auto& c : cases) {
    std::atomic<int> writes{0};
    auto writer = std::make_unique<CoalescedWrite>([&] { ++writes; }, hours(1));
    for (int i = 0; i < c.asks; ++i) writer->Ask();
    EXPECT_EQ(writes.load(), c.writesBefore) << c.name;
    writer.reset();
    EXPECT_EQ(writes.load(), c.writesInAll) << c.name;
  }
}

TEST(CoalescedWrite, TheGatheredWriteComesAtTheIntervalsEndAndAQuietOneWritesAtOnce) {
  std::atomic<int> writes{0};
  CoalescedWrite writer([&] { ++writes; }, milliseconds(50));
  writer.Ask();
  writer.Ask();  // gathered, written by the writer's thread once the interval has passed
  EXPECT_EQ(writes.load(), 1);
  EXPECT_TRUE(tests::WaitFor([&] { return writes.load() == 2; }));
  std::this_thread::sleep_for(milliseconds(120));  // quiet for longer than the interval
  writer.Ask();
  EXPECT_EQ(writes.load(), 3);  // on this thread, before Ask returned
}

}  // namespace
}  // namespace qc
