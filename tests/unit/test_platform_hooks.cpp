// The calls tests take over, on both builds: failing writes, the held messages and the
// host's addresses.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/host_addresses.h"
#include "platform/message.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using platform::MessageIcon;
using tests::MessageRecorder;
using tests::RecordedMessage;

// Writes four bytes `tries` times; which ones went through, and the file's size after.
std::vector<bool> WriteTimes(const std::string& path, int tries, std::int64_t* size) {
  platform::File file = platform::File::OpenExclusiveWrite(path);
  EXPECT_TRUE(file.IsOpen());
  std::vector<bool> written;
  for (int i = 0; i < tries; ++i) written.push_back(file.Write("abcd", 4));
  *size = file.Size();
  return written;
}

TEST(PlatformHooks, WritesFailAfterTheAllowanceUntilReset) {
  struct Case {
    int allowance;
    std::vector<bool> written;  // four tries
    std::int64_t size;          // a failing write leaves half of its bytes
  };
  const Case cases[] = {
      {0, {false, false, false, false}, 2 + 2 + 2 + 2},
      {1, {true, false, false, false}, 4 + 2 + 2 + 2},
      {3, {true, true, true, false}, 12 + 2},
      {5, {true, true, true, true}, 16},
      {-1, {true, true, true, true}, 16},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allowance);
    tests::ScopedTempDirectory dir;
    // Appended rather than "f" + ...: GCC 12 warns (-Wrestrict) about its own inlined copy.
    std::string path = "f";
    path += std::to_string(n++);
    platform::FailWritesAfterForTesting(c.allowance);
    std::int64_t size = -1;
    const std::vector<bool> written = WriteTimes(path, 4, &size);
    platform::FailWritesAfterForTesting(-1);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(size, c.size);
    // Reset: every write goes through again.
    std::int64_t after = -1;
    EXPECT_EQ(WriteTimes(path + "-after", 2, &after), (std::vector<bool>{true, true}));
    EXPECT_EQ(after, 8);
  }
}

TEST(PlatformHooks, HeldMessagesReachTheSinkInOrderWhenTheOutermostHolderEnds) {
  MessageRecorder recorder;
  {
    platform::HeldMessages outer;
    platform::ShowMessage("one", "A", MessageIcon::Error);
    {
      platform::HeldMessages inner;
      platform::ShowMessage("two", "B", MessageIcon::Warning);
    }
    EXPECT_TRUE(recorder.Messages().empty());
    platform::ShowMessage("three", "C", MessageIcon::None);
    EXPECT_TRUE(recorder.Messages().empty());
  }
  const std::vector<RecordedMessage> expected = {
      {"one", "A", MessageIcon::Error},
      {"two", "B", MessageIcon::Warning},
      {"three", "C", MessageIcon::None},
  };
  EXPECT_EQ(recorder.Messages(), expected);
  // Nothing is held any more: the next one arrives at once.
  platform::ShowMessage("four", "D", MessageIcon::None);
  ASSERT_EQ(recorder.Messages().size(), 4u);
  EXPECT_EQ(recorder.Messages().back().text, "four");
}

TEST(PlatformHooks, HostAddressesComeFromTheTestsSource) {
  using Addresses = std::optional<std::vector<std::string>>;
  const Addresses cases[] = {std::nullopt, std::vector<std::string>{},
                             std::vector<std::string>{"10.0.0.7", "192.168.1.2"}};
  for (const Addresses& given : cases) {
    platform::SetHostAddressSourceForTesting([given] { return given; });
    EXPECT_EQ(platform::HostIPv4Addresses(), given);
    // Made-up addresses come without the real machine's default route.
    EXPECT_EQ(platform::DefaultRouteAddress(), std::nullopt);
    platform::SetDefaultRouteSourceForTesting(
        [] { return std::optional<std::string>("192.168.1.2"); });
    EXPECT_EQ(platform::DefaultRouteAddress(), "192.168.1.2");
    platform::SetDefaultRouteSourceForTesting({});
  }
  platform::SetHostAddressSourceForTesting({});
}

}  // namespace
}  // namespace qc
