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
#include "unit/test_support.h"

namespace qc {
namespace {

using testing::RecordedMessage;
using testing::ScopedTempDirectory;

class MessageRecorder {
 public:
  MessageRecorder() {
    platform::SetMessageSinkForTesting(
        [this](const std::string& text, const std::string& caption, platform::MessageIcon icon) {
          std::lock_guard<std::mutex> guard(mutex_);
          messages_.push_back({text, caption, icon});
        });
  }
  ~MessageRecorder() { platform::SetMessageSinkForTesting({}); }
  std::vector<RecordedMessage> Messages() {
    std::lock_guard<std::mutex> guard(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<RecordedMessage> messages_;
};

RecordedMessage M(const messages::Message& m) {
  return {std::string(m.text), std::string(m.caption), m.icon};
}

// A "common.cfg" naming `port`, no texts.
void WriteSettingsWithPort(std::uint16_t port, std::uint16_t flags = kCopyUrlAfterShare) {
  std::string bytes = {'Q', 'C', static_cast<char>(port & 0xFF), static_cast<char>(port >> 8),
                       0, 0, static_cast<char>(flags), 0, 0, 0, 0, 0};
  testing::WriteFileBytes(kSettingsFileName, bytes);
}

// On Windows the bind failure opens the control panel; its tests drive the real window.
TEST(ServerLifecycle, PortInUseShowsTheBindMessageAndEnds) {
  ScopedTempDirectory dir;
  platform::SocketLibraryStart();
  platform::socket_t holder = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindAnyAddress(holder, 0));
  ASSERT_TRUE(platform::Listen(holder, 1));
  WriteSettingsWithPort(platform::LocalPort(holder));
  MessageRecorder recorder;
  Application app;
  EXPECT_EQ(RunServer(app), 1);
  EXPECT_EQ(recorder.Messages(), std::vector<RecordedMessage>{M(messages::kBindFailed)});
  // The single-instance lock was released on the way out.
  Application next;
  EXPECT_TRUE(next.instance.Acquire());
  platform::CloseSocket(holder);
  platform::SocketLibraryStop();
}

}  // namespace
}  // namespace qc
