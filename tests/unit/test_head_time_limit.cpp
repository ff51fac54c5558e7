// The head time limit an operator (or an end-to-end test) asks for through the environment:
// only a whole number of seconds in range replaces the minute; anything else keeps it.
#include <gtest/gtest.h>

#include <chrono>

#include "app/server.h"

namespace qc {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(HeadTimeLimit, OnlyWholeSecondsInRangeReplaceTheMinute) {
  EXPECT_EQ(kHeadTimeLimit, seconds(60));
  const struct {
    const char* value;
    milliseconds expected;
  } cases[] = {
      {nullptr, kHeadTimeLimit}, {"", kHeadTimeLimit},
      {"15", seconds(15)},       {"1", seconds(1)},
      {"3600", seconds(3600)},   {"0", kHeadTimeLimit},
      {"3601", kHeadTimeLimit},  {"99999999999999999999", kHeadTimeLimit},
      {"-5", kHeadTimeLimit},    {"15s", kHeadTimeLimit},
      {" 15", kHeadTimeLimit},   {"1.5", kHeadTimeLimit},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HeadTimeLimitFrom(c.value), c.expected) << (c.value ? c.value : "(unset)");
  }
}

}  // namespace
}  // namespace qc
