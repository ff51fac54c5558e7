#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "shares/settings.h"
#include "shares/share_registry.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using platform::MessageIcon;
using testing::MessageRecorder;
using testing::ReadFileBytes;
using testing::RecordedMessage;
using testing::ScopedTempDirectory;
using testing::WriteFileBytes;

const std::string kSettingsExample =
    std::string("\x51\x43\x51\x00\x00\x00\x02\x00\x09\x00\x05\x00", 12) + "localhost" + "/temp";
const std::string kRecordExample =
    std::string("\x0B\x00\x0D\x00\x01\x00", 6) + "/temp/a.txt" + "C:\\temp\\a.txt";
const RecordedMessage kCantWrite{"Can't write to file shared.cfg, something wrong", "ERROR",
                                 MessageIcon::Error};

std::string Record(const std::string& virtualPath, const std::string& physicalPath,
                   std::uint16_t flags) {
  std::string bytes;
  for (std::uint16_t value : {static_cast<std::uint16_t>(virtualPath.size()),
                              static_cast<std::uint16_t>(physicalPath.size()), flags}) {
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
  }
  return bytes + virtualPath + physicalPath;
}

struct Loaded {
  std::string virtualPath;
  std::string physicalPath;
  std::uint32_t flags;
  bool operator==(const Loaded&) const = default;
};

std::vector<Loaded> Contents(ShareRegistry& registry) {
  std::vector<Loaded> out;
  for (const SharePtr& s : registry.Snapshot()) {
    out.push_back({s->virtualPath, s->physicalPath, s->flags.load()});
  }
  return out;
}

// Writes fail after this many successful ones for as long as the object lives.
class ScopedWriteFailure {
 public:
  explicit ScopedWriteFailure(int writesLeft) { platform::FailWritesAfterForTesting(writesLeft); }
  ~ScopedWriteFailure() { platform::FailWritesAfterForTesting(-1); }
};

void ExpectDefaults(const ServerSettings& s) {
  EXPECT_EQ(s.magic, 0);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.hostChoice, 0);
  EXPECT_EQ(s.flags, kCopyUrlAfterShare);
  EXPECT_EQ(s.domainLength, 0);
  EXPECT_EQ(s.folderLength, 0);
  EXPECT_EQ(s.domain, "");
  EXPECT_EQ(s.defaultFolder, "");
}

ServerSettings Filled() {
  ServerSettings s;
  s.magic = 0x1234;
  s.port = 8080;
  s.hostChoice = 3;
  s.flags = 1;
  s.domain = "stale.example";
  s.domainLength = static_cast<std::uint16_t>(s.domain.size());
  return s;
}

TEST(SettingsFile, SaveWritesTheExampleBytes) {
  ScopedTempDirectory dir;
  ServerSettings s;
  s.port = 81;
  s.domain = "localhost";
  s.domainLength = 9;
  s.defaultFolder = "/temp";
  s.folderLength = 5;
  ASSERT_EQ(SaveSettings(s), 1);
  EXPECT_EQ(s.magic, kSettingsMagic);
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
  EXPECT_FALSE(std::filesystem::exists("common.cfg.tmp"));
}

TEST(SettingsFile, LoadReadsTheExampleBytes) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample + "trailing bytes are ignored");
  ServerSettings s = Filled();
  ASSERT_EQ(LoadSettings(s), 1);
  EXPECT_EQ(s.magic, kSettingsMagic);
  EXPECT_EQ(s.port, 81);
  EXPECT_EQ(s.hostChoice, 0);
  EXPECT_EQ(s.flags, 2);
  EXPECT_EQ(s.domainLength, 9);
  EXPECT_EQ(s.domain, "localhost");
  EXPECT_EQ(s.folderLength, 5);
  EXPECT_EQ(s.defaultFolder, "/temp");
}

TEST(SettingsFile, UnreadableFilesLeaveTheDefaults) {
  struct Case {
    const char* name;
    bool present;
    std::string bytes;
  };
  const Case cases[] = {
      {"missing", false, ""},
      {"empty", true, ""},
      {"11 bytes", true, kSettingsExample.substr(0, 11)},
      {"foreign magic", true, "QD" + kSettingsExample.substr(2)},
      {"swapped magic", true, "CQ" + kSettingsExample.substr(2)},
      {"ends inside the domain", true, kSettingsExample.substr(0, 15)},
      {"ends inside the folder", true, kSettingsExample.substr(0, 25)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    if (c.present) WriteFileBytes(kSettingsFileName, c.bytes);
    ServerSettings s = Filled();
    EXPECT_EQ(LoadSettings(s), 0);
    ExpectDefaults(s);
  }
}

TEST(SettingsFile, HeaderWithoutTextsIsValid) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, std::string("QC\x90\x1F\x02\x00\x03\x00\x00\x00\x00\x00", 12));
  ServerSettings s = Filled();
  ASSERT_EQ(LoadSettings(s), 1);
  EXPECT_EQ(s.port, 8080);
  EXPECT_EQ(s.hostChoice, 2);
  EXPECT_EQ(s.flags, 3);
  EXPECT_EQ(s.domainLength, 0);
  EXPECT_EQ(s.folderLength, 0);
  EXPECT_EQ(s.domain, "");
  EXPECT_EQ(s.defaultFolder, "");
  // And it goes back out as the same 12 bytes.
  ASSERT_EQ(SaveSettings(s), 1);
  EXPECT_EQ(ReadFileBytes(kSettingsFileName).size(), 12u);
}

TEST(SettingsFile, ShorterSaveOverALongerFileRoundTrips) {
  ScopedTempDirectory dir;
  ServerSettings s;
  s.port = 81;
  s.domain = "a-much-longer-domain.example.org";
  s.domainLength = static_cast<std::uint16_t>(s.domain.size());
  s.defaultFolder = "/some/long/folder";
  s.folderLength = static_cast<std::uint16_t>(s.defaultFolder.size());
  ASSERT_EQ(SaveSettings(s), 1);

  s.domain = "b.org";
  s.domainLength = 5;
  s.defaultFolder.clear();
  s.folderLength = 0;
  s.flags = kNewSharesOneShot | kCopyUrlAfterShare;
  ASSERT_EQ(SaveSettings(s), 1);
  // The file is written fresh: no tail of the longer one is left behind.
  EXPECT_EQ(ReadFileBytes(kSettingsFileName),
            std::string("QC\x51\x00\x00\x00\x03\x00\x05\x00\x00\x00", 12) + "b.org");

  ServerSettings loaded;
  ASSERT_EQ(LoadSettings(loaded), 1);
  EXPECT_EQ(loaded.port, 81);
  EXPECT_EQ(loaded.flags, 3);
  EXPECT_EQ(loaded.domain, "b.org");
  EXPECT_EQ(loaded.defaultFolder, "");
  EXPECT_EQ(loaded.folderLength, 0);
}

TEST(SettingsFile, FailedSaveKeepsThePreviousFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample);
  ServerSettings s;
  s.port = 9000;
  {
    ScopedWriteFailure failure(0);
    MessageRecorder recorder;
    EXPECT_EQ(SaveSettings(s), 0);
    EXPECT_TRUE(recorder.messages.empty());
  }
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
  EXPECT_FALSE(std::filesystem::exists("common.cfg.tmp"));
}

TEST(SettingsFile, SaveFailsWhileAnotherOpenerHoldsTheFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample);
  platform::File holder = platform::File::OpenExclusiveRead(kSettingsFileName);
  ASSERT_TRUE(holder.IsOpen());
  ServerSettings s;
  EXPECT_EQ(SaveSettings(s), 0);
  holder.Close();
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
}

TEST(SettingsFile, InconsistentLengthIsNotWritten) {
  ScopedTempDirectory dir;
  ServerSettings s;
  s.domain = "abc";
  s.domainLength = 7;
  EXPECT_EQ(SaveSettings(s), 0);
  EXPECT_FALSE(std::filesystem::exists(kSettingsFileName));
}

TEST(ShareFile, AppendWritesTheExampleRecord) {
  ScopedTempDirectory dir;
  Share share("C:\\temp\\a.txt", "/temp/a.txt", kOneShot);
  ASSERT_EQ(AppendShareRecord(share), 1);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, LoadReadsHandMadeRecords) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample + Record("", "C:\\empty", 0) +
                                      Record("/w", "C:\\w", 3) + Record("/x", "C:\\x", 0xF004));
  ShareRegistry registry;
  registry.AppendShare("old", "/old", 0);  // loading replaces what was there
  ASSERT_EQ(LoadShares(registry, 0), 1);
  EXPECT_EQ(Contents(registry), (std::vector<Loaded>{
                                    {"/temp/a.txt", "C:\\temp\\a.txt", kOneShot},
                                    {"", "C:\\empty", 0},
                                    {"/w", "C:\\w", kOneShot | kWithdrawn},
                                    {"/x", "C:\\x", 0xF004},
                                }));
  EXPECT_TRUE(registry.ShareAt(2)->IsWithdrawn());
}

TEST(ShareFile, MissingAndEmptyFiles) {
  ScopedTempDirectory dir;
  ShareRegistry registry;
  registry.AppendShare("old", "/old", 0);
  EXPECT_EQ(LoadShares(registry, 0), 0);
  EXPECT_EQ(registry.Count(), 0u);

  WriteFileBytes(kSharesFileName, "");
  registry.AppendShare("old", "/old", 0);
  EXPECT_EQ(LoadShares(registry, 0), 1);
  EXPECT_EQ(registry.Count(), 0u);
}

TEST(ShareFile, TruncatedRecordIsDropped) {
  const std::string complete = Record("/one", "C:\\one", 1);
  const std::string next = Record("/two", "C:\\two", 0);
  struct Case {
    const char* name;
    std::size_t keep;  // bytes of `next` present
  };
  const Case cases[] = {
      {"one byte of the lengths", 1},  {"inside the flags", 5},
      {"header only", 6},              {"inside the virtual path", 8},
      {"inside the physical path", next.size() - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    WriteFileBytes(kSharesFileName, complete + next.substr(0, c.keep));
    ShareRegistry registry;
    EXPECT_EQ(LoadShares(registry, 0), 1);
    EXPECT_EQ(Contents(registry), (std::vector<Loaded>{{"/one", "C:\\one", 1}}));
  }
}

TEST(ShareFile, RecordCutShortByACrashIsCutOffSoLaterAppendsStayReadable) {
  const std::string complete = Record("/one", "C:\\one", 1);
  const std::string next = Record("/two", "C:\\two", 0);
  for (std::size_t keep = 1; keep < next.size(); ++keep) {
    SCOPED_TRACE(keep);
    ScopedTempDirectory dir;
    // What a process killed in the middle of its append leaves behind.
    WriteFileBytes(kSharesFileName, complete + next.substr(0, keep));
    ShareRegistry registry;
    ASSERT_EQ(LoadShares(registry, 0), 1);
    EXPECT_EQ(ReadFileBytes(kSharesFileName), complete);
    SharePtr added = registry.AppendShare("C:\\three", "/three", 0);
    ASSERT_EQ(AppendShareRecord(*added), 1);
    ShareRegistry reloaded;
    ASSERT_EQ(LoadShares(reloaded, 0), 1);
    EXPECT_EQ(Contents(reloaded),
              (std::vector<Loaded>{{"/one", "C:\\one", 1}, {"/three", "C:\\three", 0}}));
  }
}

TEST(SettingsFile, SavesThatStopAtAnyWriteLeaveTheOldOrTheNewSettings) {
  // Each save in turn is cut off at its first write (half the bytes reach the disk, as
  // when the disk fills or the process dies mid-write); the file must always load as one
  // of the saves that completed, and the next save must succeed.
  ScopedTempDirectory dir;
  ServerSettings saved;
  saved.port = 1000;
  saved.domain = "first.example";
  saved.domainLength = static_cast<std::uint16_t>(saved.domain.size());
  ASSERT_EQ(SaveSettings(saved), 1);
  for (int round = 1; round <= 20; ++round) {
    SCOPED_TRACE(round);
    ServerSettings next = saved;
    next.port = static_cast<std::uint16_t>(1000 + round);
    next.defaultFolder = std::string(static_cast<std::size_t>(round * 37), 'f');
    next.folderLength = static_cast<std::uint16_t>(next.defaultFolder.size());
    {
      ScopedWriteFailure failure(0);
      MessageRecorder recorder;
      EXPECT_EQ(SaveSettings(next), 0);
    }
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(loaded), 1);
    EXPECT_EQ(loaded.port, saved.port);
    EXPECT_EQ(loaded.defaultFolder, saved.defaultFolder);
    ASSERT_EQ(SaveSettings(next), 1);
    ASSERT_EQ(LoadSettings(loaded), 1);
    EXPECT_EQ(loaded.port, next.port);
    EXPECT_EQ(loaded.defaultFolder, next.defaultFolder);
    saved = next;
  }
}

TEST(ShareFile, RewriteStoresRegistryOrderAndAppendsFollow) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, std::string(100, 'x'));  // old content, longer
  ShareRegistry registry;
  registry.AppendShare("C:\\a", "/a", 0);
  SharePtr middle = registry.AppendShare("C:\\b", "/b", kOneShot);
  registry.AppendShare("C:\\c", "/c", 0);
  registry.AppendShare("C:\\d", "/d", kOneShot);
  registry.RemoveShare(middle);
  registry.ShareAt(2)->flags.fetch_or(kWithdrawn);
  ASSERT_EQ(RewriteShareFile(registry), 1);
  EXPECT_EQ(ReadFileBytes(kSharesFileName),
            Record("/a", "C:\\a", 0) + Record("/c", "C:\\c", 0) + Record("/d", "C:\\d", 3));
  EXPECT_FALSE(std::filesystem::exists("shared.cfg.tmp"));

  SharePtr added = registry.AppendShare("C:\\e", "/e", 0);
  ASSERT_EQ(AppendShareRecord(*added), 1);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), Record("/a", "C:\\a", 0) + Record("/c", "C:\\c", 0) +
                                                Record("/d", "C:\\d", 3) +
                                                Record("/e", "C:\\e", 0));

  ShareRegistry reloaded;
  ASSERT_EQ(LoadShares(reloaded, 0), 1);
  EXPECT_EQ(Contents(reloaded), Contents(registry));
}

TEST(ShareFile, RewriteOfEmptyRegistryLeavesEmptyFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  ASSERT_EQ(RewriteShareFile(registry), 1);
  EXPECT_TRUE(std::filesystem::exists(kSharesFileName));
  EXPECT_EQ(ReadFileBytes(kSharesFileName), "");
}

TEST(ShareFile, FailedWritesKeepThePreviousFile) {
  ScopedTempDirectory dir;
  ShareRegistry registry;
  registry.AppendShare("C:\\temp\\a.txt", "/temp/a.txt", kOneShot);
  registry.AppendShare("C:\\b", "/b", 0);
  WriteFileBytes(kSharesFileName, kRecordExample);

  {
    ScopedWriteFailure failure(0);
    MessageRecorder recorder;
    EXPECT_EQ(RewriteShareFile(registry), 0);
    EXPECT_EQ(recorder.messages, std::vector<RecordedMessage>{kCantWrite});
  }
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
  EXPECT_FALSE(std::filesystem::exists("shared.cfg.tmp"));

  {
    ScopedWriteFailure failure(0);
    MessageRecorder recorder;
    EXPECT_EQ(AppendShareRecord(*registry.ShareAt(1)), 0);
    EXPECT_EQ(recorder.messages, std::vector<RecordedMessage>{kCantWrite});
  }
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, HeldFileRefusesAppendAndRewrite) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  SharePtr share = registry.AppendShare("C:\\b", "/b", 0);
  platform::File holder = platform::File::OpenExclusiveRead(kSharesFileName);
  ASSERT_TRUE(holder.IsOpen());
  MessageRecorder recorder;
  EXPECT_EQ(AppendShareRecord(*share), 0);
  EXPECT_EQ(RewriteShareFile(registry), 0);
  EXPECT_EQ(recorder.messages, (std::vector<RecordedMessage>{kCantWrite, kCantWrite}));
  holder.Close();
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, TextTooLongForItsLengthFieldIsRefused) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  SharePtr share = registry.AppendShare(std::string(65536, 'p'), "/long", 0);
  MessageRecorder recorder;
  EXPECT_EQ(AppendShareRecord(*share), 0);
  EXPECT_EQ(RewriteShareFile(registry), 0);
  EXPECT_EQ(recorder.messages, (std::vector<RecordedMessage>{kCantWrite, kCantWrite}));
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);

  // The longest storable text still goes through and comes back.
  ShareRegistry fits;
  fits.AppendShare(std::string(65535, 'p'), "/max", 0);
  ASSERT_EQ(RewriteShareFile(fits), 1);
  ShareRegistry reloaded;
  ASSERT_EQ(LoadShares(reloaded, 0), 1);
  ASSERT_EQ(reloaded.Count(), 1u);
  EXPECT_EQ(reloaded.ShareAt(0)->physicalPath.size(), 65535u);
}

}  // namespace
}  // namespace qc
