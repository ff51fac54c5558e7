// The services the floors are handed, on both builds: the disk's faults a file meets, the
// held messages reaching the sink they were shown through, and the machine's addresses
// coming from the lookup handed in.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/host_addresses.h"
#include "platform/message.h"
#include "unit/clipboard_fakes.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using platform::MessageIcon;
using tests::MessageRecorder;
using tests::RecordedMessage;

// Writes four bytes `tries` times on a disk with `faults`; which ones went through, and the
// file's size after.
std::vector<bool> WriteTimes(const std::string& path, int tries, std::int64_t* size,
                             const platform::DiskFaults& faults = {}) {
  platform::File file = platform::File::OpenExclusiveWrite(path, faults);
  EXPECT_TRUE(file.IsOpen());
  std::vector<bool> written;
  for (int i = 0; i < tries; ++i) written.push_back(file.Write("abcd", 4));
  *size = file.Size();
  return written;
}

TEST(DiskFaults, WritesFailAfterTheAllowanceOnlyOnTheFilesHandedTheFaults) {
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
      {-1, {true, true, true, true}, 16},  // no faults: the disk as it is
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allowance);
    tests::ScopedTempDirectory dir;
    // Appended rather than "f" + ...: GCC 12 warns (-Wrestrict) about its own inlined copy.
    std::string path = "f";
    path += std::to_string(n++);
    std::int64_t size = -1;
    const platform::DiskFaults faults =
        c.allowance < 0 ? platform::DiskFaults{} : tests::FailWritesAfter(c.allowance);
    const std::vector<bool> written = WriteTimes(path, 4, &size, faults);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(size, c.size);
    // A file handed no faults: every write goes through.
    std::int64_t after = -1;
    EXPECT_EQ(WriteTimes(path + "-after", 2, &after), (std::vector<bool>{true, true}));
    EXPECT_EQ(after, 8);
  }
  // The faults go with the file when it moves.
  tests::ScopedTempDirectory dir;
  platform::File moved;
  moved = platform::File::OpenExclusiveWrite("m", tests::FailWritesAfter(1));
  ASSERT_TRUE(moved.IsOpen());
  platform::File owner(std::move(moved));
  EXPECT_TRUE(owner.Write("abcd", 4));
  EXPECT_FALSE(owner.Write("abcd", 4));
}

TEST(Messages, HeldMessagesReachTheirSinkInOrderWhenTheOutermostHolderEnds) {
  MessageRecorder recorder;
  MessageRecorder other;
  const platform::MessageSink sink = recorder.Sink();
  {
    platform::HeldMessages outer;
    platform::ShowMessage(sink, "one", "A", MessageIcon::Error);
    {
      platform::HeldMessages inner;
      platform::ShowMessage(sink, "two", "B", MessageIcon::Warning);
      // Each held message keeps the sink it was shown through.
      platform::ShowMessage(other.Sink(), "elsewhere", "E", MessageIcon::None);
    }
    EXPECT_TRUE(recorder.Messages().empty());
    platform::ShowMessage(sink, "three", "C", MessageIcon::None);
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_TRUE(other.Messages().empty());
  }
  const std::vector<RecordedMessage> expected = {
      {"one", "A", MessageIcon::Error},
      {"two", "B", MessageIcon::Warning},
      {"three", "C", MessageIcon::None},
  };
  EXPECT_EQ(recorder.Messages(), expected);
  EXPECT_EQ(other.Messages(),
            (std::vector<RecordedMessage>{{"elsewhere", "E", MessageIcon::None}}));
  // Nothing is held any more: the next one arrives at once.
  platform::ShowMessage(sink, "four", "D", MessageIcon::None);
  ASSERT_EQ(recorder.Messages().size(), 4u);
  EXPECT_EQ(recorder.Messages().back().text, "four");
}

TEST(AddressLookup, HostAddressesComeFromTheLookupHandedIn) {
  using Addresses = std::optional<std::vector<std::string>>;
  const Addresses cases[] = {std::nullopt, std::vector<std::string>{},
                             std::vector<std::string>{"10.0.0.7", "192.168.1.2"}};
  for (const Addresses& given : cases) {
    // Made-up addresses come without the real machine's default route.
    const platform::AddressLookup made = tests::FakeHost(given);
    EXPECT_EQ(platform::HostIPv4Addresses(made), given);
    EXPECT_EQ(platform::DefaultRouteAddress(made), std::nullopt);
    const platform::AddressLookup routed = tests::FakeHost(given, std::string("192.168.1.2"));
    EXPECT_EQ(platform::DefaultRouteAddress(routed), "192.168.1.2");
  }
  // A lookup without queries is a machine without addresses.
  EXPECT_EQ(platform::HostIPv4Addresses(platform::AddressLookup{}), std::nullopt);
  EXPECT_EQ(platform::DefaultRouteAddress(platform::AddressLookup{}), std::nullopt);
}

}  // namespace
}  // namespace qc
