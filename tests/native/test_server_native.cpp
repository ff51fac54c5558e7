// The server's start where the native build differs: no panel opens on a bind failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/server.h"
#include "platform/socket.h"
#include "shares/settings_file.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::AsRecorded;
using tests::MessageRecorder;
using tests::RecordedMessage;
using tests::ScopedTempDirectory;
using tests::WriteSettingsWithPort;

// On Windows the bind failure opens the control panel; its tests drive the real window.
TEST(ServerLifecycle, PortInUseShowsTheBindMessageAndEnds) {
  ScopedTempDirectory dir;
  const tests::HeldPort holder;
  ASSERT_TRUE(holder.Listening());
  WriteSettingsWithPort(holder.Port());
  Application app;
  MessageRecorder recorder(app.services.messages);
  EXPECT_EQ(RunServer(app), 1);
  EXPECT_EQ(recorder.Messages(), std::vector<RecordedMessage>{AsRecorded(messages::kBindFailed)});
  // The single-instance lock was released on the way out.
  Application next;
  EXPECT_TRUE(next.instance.Acquire());
}

}  // namespace
}  // namespace qc
