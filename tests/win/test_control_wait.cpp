// The Windows control server's reading of WaitForMultipleObjects over its exit, share and
// panel events: which results are requests, which end the loop, which mean wait again.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "platform/control_channel.h"

namespace qc {
namespace {

using platform::ControlEvent;

TEST(ControlChannel, WaitResultsMapToTheLoopsEvents) {
  struct Case {
    std::uint32_t result;
    std::optional<ControlEvent> event;  // none: the server waits again
  };
  const Case cases[] = {
      {0, ControlEvent::Stop},     {1, ControlEvent::Share},
      {2, ControlEvent::Panel},    {0xFFFFFFFFu, ControlEvent::Failed},
      {128, ControlEvent::Failed}, {129, ControlEvent::Failed},
      {130, ControlEvent::Failed}, {3, std::nullopt},
      {131, std::nullopt},         {258, std::nullopt},  // WAIT_TIMEOUT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    EXPECT_EQ(platform::ControlEventOfWait(c.result), c.event);
  }
}

}  // namespace
}  // namespace qc
