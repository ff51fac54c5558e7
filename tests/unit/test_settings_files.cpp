#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "shares/settings_file.h"
#include "shares/share_file.h"
#include "shares/share_registry.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::ReadFileBytes;
using tests::ScopedTempDirectory;
using tests::WriteFileBytes;

const std::string kSettingsExample =
    std::string("\x51\x43\x51\x00\x00\x00\x02\x00\x09\x00\x05\x00", 12) + "localhost" + "/temp";
const std::string kRecordExample =
    std::string("\x0B\x00\x0D\x00\x01\x00", 6) + "/temp/a.txt" + "C:\\temp\\a.txt";

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

// The stored files of the current directory on a disk that is full.
StoredFiles OnAFullDisk() { return tests::StoredHereWith(tests::FailWritesAfter(0)); }

// The stored files of the current directory on a disk whose syncs ask `hook` first.
StoredFiles WithSyncs(std::function<bool(platform::SyncKind)> hook) {
  platform::DiskFaults faults;
  faults.syncAllowed = std::move(hook);
  return tests::StoredHereWith(std::move(faults));
}

// Every name in the current directory, sorted: what a save leaves behind.
std::vector<std::string> NamesHere() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void ExpectDefaults(const ServerSettings& s) {
  EXPECT_EQ(s.magic, 0);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.hostChoice, 0);
  EXPECT_EQ(s.flags, kCopyUrlAfterShare);
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
  return s;
}

TEST(SettingsFile, SaveWritesTheExampleBytes) {
  ScopedTempDirectory dir;
  ServerSettings s;
  s.port = 81;
  s.domain = "localhost";
  s.defaultFolder = "/temp";
  ASSERT_EQ(SaveSettings(tests::StoredHere(), s), 1);
  EXPECT_EQ(s.magic, kSettingsMagic);
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
  EXPECT_EQ(NamesHere(), std::vector<std::string>{kSettingsFileName});
}

TEST(SettingsFile, LoadReadsTheExampleBytes) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample + "trailing bytes are ignored");
  ServerSettings s = Filled();
  ASSERT_EQ(LoadSettings(tests::StoredHere(), s), 1);
  EXPECT_EQ(s.magic, kSettingsMagic);
  EXPECT_EQ(s.port, 81);
  EXPECT_EQ(s.hostChoice, 0);
  EXPECT_EQ(s.flags, 2);
  EXPECT_EQ(s.domain, "localhost");
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
    EXPECT_EQ(LoadSettings(tests::StoredHere(), s), 0);
    ExpectDefaults(s);
  }
}

TEST(SettingsFile, HeaderWithoutTextsIsValid) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, std::string("QC\x90\x1F\x02\x00\x03\x00\x00\x00\x00\x00", 12));
  ServerSettings s = Filled();
  ASSERT_EQ(LoadSettings(tests::StoredHere(), s), 1);
  EXPECT_EQ(s.port, 8080);
  EXPECT_EQ(s.hostChoice, 2);
  EXPECT_EQ(s.flags, 3);
  EXPECT_EQ(s.domain, "");
  EXPECT_EQ(s.defaultFolder, "");
  // And it goes back out as the same 12 bytes.
  ASSERT_EQ(SaveSettings(tests::StoredHere(), s), 1);
  EXPECT_EQ(ReadFileBytes(kSettingsFileName).size(), 12u);
}

TEST(SettingsFile, ShorterSaveOverALongerFileRoundTrips) {
  ScopedTempDirectory dir;
  ServerSettings s;
  s.port = 81;
  s.domain = "a-much-longer-domain.example.org";
  s.defaultFolder = "/some/long/folder";
  ASSERT_EQ(SaveSettings(tests::StoredHere(), s), 1);

  s.domain = "b.org";
  s.defaultFolder.clear();
  s.flags = kNewSharesOneShot | kCopyUrlAfterShare;
  ASSERT_EQ(SaveSettings(tests::StoredHere(), s), 1);
  // The file is written fresh: no tail of the longer one is left behind.
  EXPECT_EQ(ReadFileBytes(kSettingsFileName),
            std::string("QC\x51\x00\x00\x00\x03\x00\x05\x00\x00\x00", 12) + "b.org");

  ServerSettings loaded;
  ASSERT_EQ(LoadSettings(tests::StoredHere(), loaded), 1);
  EXPECT_EQ(loaded.port, 81);
  EXPECT_EQ(loaded.flags, 3);
  EXPECT_EQ(loaded.domain, "b.org");
  EXPECT_EQ(loaded.defaultFolder, "");
}

TEST(SettingsFile, FailedSaveKeepsThePreviousFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample);
  ServerSettings s;
  s.port = 9000;
  EXPECT_EQ(SaveSettings(OnAFullDisk(), s), 0);
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
  EXPECT_EQ(NamesHere(), std::vector<std::string>{kSettingsFileName});
}

// The system's word on a failed save comes back with it, taken where the call failed, so
// the caller tells the user why without reading errno across the floors.
TEST(SettingsFile, AFailedSaveGivesTheSystemsErrorAsAValue) {
  enum class Setup { Nothing, FullDisk, FailedSync, Held, Folder };
  struct Case {
    const char* name;
    Setup setup;
    int saved;
    int code;  // what `error` holds after: a save that went through leaves it as it was
  };
  const Case cases[] = {
      {"saved", Setup::Nothing, 1, -1},
      {"full disk", Setup::FullDisk, 0, tests::kFileErrorCodes.diskFull},
      {"failed sync", Setup::FailedSync, 0, tests::kFileErrorCodes.syncFailed},
      {"held by another opener", Setup::Held, 0, tests::kFileErrorCodes.heldElsewhere},
      {"a folder in its place", Setup::Folder, 0, tests::kFileErrorCodes.folderInTheWay},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    StoredFiles files = tests::StoredHere();
    platform::File holder;
    if (c.setup == Setup::Folder) {
      std::filesystem::create_directory(kSettingsFileName);
    } else {
      WriteFileBytes(kSettingsFileName, kSettingsExample);
    }
    if (c.setup == Setup::FullDisk) files = OnAFullDisk();
    if (c.setup == Setup::FailedSync) {
      files = WithSyncs([](platform::SyncKind kind) { return kind != platform::SyncKind::File; });
    }
    if (c.setup == Setup::Held) {
      holder = platform::File::OpenExclusiveRead(kSettingsFileName);
      ASSERT_TRUE(holder.IsOpen());
    }
    ServerSettings s;
    s.port = 9000;
    platform::FileError error{-1};
    EXPECT_EQ(SaveSettings(files, s, &error), c.saved);
    EXPECT_EQ(error.code, c.code);
  }
}

TEST(SettingsFile, SaveFailsWhileAnotherOpenerHoldsTheFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample);
  platform::File holder = platform::File::OpenExclusiveRead(kSettingsFileName);
  ASSERT_TRUE(holder.IsOpen());
  ServerSettings s;
  EXPECT_EQ(SaveSettings(tests::StoredHere(), s), 0);
  holder.Close();
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
}

TEST(SettingsFile, TextTooLongForItsLengthFieldIsNotWritten) {
  // A header whose length disagreed with its text would shift everything after it.
  struct Case {
    const char* name;
    std::size_t domain;
    std::size_t folder;
    int saved;
  };
  const Case cases[] = {
      {"domain one byte too long", 65536, 0, 0},
      {"folder one byte too long", 3, 65536, 0},
      {"both at the longest", 65535, 65535, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    ServerSettings s;
    s.domain = std::string(c.domain, 'd');
    s.defaultFolder = std::string(c.folder, 'f');
    EXPECT_EQ(SaveSettings(tests::StoredHere(), s), c.saved);
    EXPECT_EQ(std::filesystem::exists(kSettingsFileName), c.saved == 1);
    if (c.saved == 0) continue;
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(tests::StoredHere(), loaded), 1);
    EXPECT_EQ(loaded.domain, s.domain);
    EXPECT_EQ(loaded.defaultFolder, s.defaultFolder);
  }
}

TEST(ShareFile, AppendWritesTheExampleRecord) {
  ScopedTempDirectory dir;
  Share share("C:\\temp\\a.txt", "/temp/a.txt", kOneShot);
  ASSERT_EQ(AppendShareRecord(tests::StoredHere(), share), ShareFileWrite::Written);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, LoadReadsHandMadeRecords) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample + tests::RecordBytes("", "C:\\empty", 0) +
                                      tests::RecordBytes("/w", "C:\\w", 3) +
                                      tests::RecordBytes("/x", "C:\\x", 0xF004));
  ShareRegistry registry;
  registry.AppendShare("old", "/old", 0);  // loading replaces what was there
  ASSERT_EQ(LoadShares(tests::StoredHere(), registry), 1);
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
  EXPECT_EQ(LoadShares(tests::StoredHere(), registry), 0);
  EXPECT_EQ(registry.Count(), 0u);

  WriteFileBytes(kSharesFileName, "");
  registry.AppendShare("old", "/old", 0);
  EXPECT_EQ(LoadShares(tests::StoredHere(), registry), 1);
  EXPECT_EQ(registry.Count(), 0u);
}

TEST(ShareFile, TruncatedRecordIsDropped) {
  const std::string complete = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string next = tests::RecordBytes("/two", "C:\\two", 0);
  struct Case {
    const char* name;
    std::size_t keep;  // bytes of `next` present
  };
  const Case cases[] = {
      {"one byte of the lengths", 1},
      {"inside the flags", 5},
      {"header only", 6},
      {"inside the virtual path", 8},
      {"inside the physical path", next.size() - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    WriteFileBytes(kSharesFileName, complete + next.substr(0, c.keep));
    ShareRegistry registry;
    EXPECT_EQ(LoadShares(tests::StoredHere(), registry), 1);
    EXPECT_EQ(Contents(registry), (std::vector<Loaded>{{"/one", "C:\\one", 1}}));
  }
}

TEST(ShareFile, RecordCutShortByACrashIsCutOffSoLaterAppendsStayReadable) {
  const std::string complete = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string next = tests::RecordBytes("/two", "C:\\two", 0);
  for (std::size_t keep = 1; keep < next.size(); ++keep) {
    SCOPED_TRACE(keep);
    ScopedTempDirectory dir;
    // What a process killed in the middle of its append leaves behind.
    WriteFileBytes(kSharesFileName, complete + next.substr(0, keep));
    ShareRegistry registry;
    ASSERT_EQ(LoadShares(tests::StoredHere(), registry), 1);
    EXPECT_EQ(ReadFileBytes(kSharesFileName), complete);
    SharePtr added = registry.AppendShare("C:\\three", "/three", 0);
    ASSERT_EQ(AppendShareRecord(tests::StoredHere(), *added), ShareFileWrite::Written);
    ShareRegistry reloaded;
    ASSERT_EQ(LoadShares(tests::StoredHere(), reloaded), 1);
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
  ASSERT_EQ(SaveSettings(tests::StoredHere(), saved), 1);
  for (int round = 1; round <= 20; ++round) {
    SCOPED_TRACE(round);
    ServerSettings next = saved;
    next.port = static_cast<std::uint16_t>(1000 + round);
    next.defaultFolder = std::string(static_cast<std::size_t>(round * 37), 'f');
    EXPECT_EQ(SaveSettings(OnAFullDisk(), next), 0);
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(tests::StoredHere(), loaded), 1);
    EXPECT_EQ(loaded.port, saved.port);
    EXPECT_EQ(loaded.defaultFolder, saved.defaultFolder);
    ASSERT_EQ(SaveSettings(tests::StoredHere(), next), 1);
    ASSERT_EQ(LoadSettings(tests::StoredHere(), loaded), 1);
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
  ASSERT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Written);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), tests::RecordBytes("/a", "C:\\a", 0) +
                                                tests::RecordBytes("/c", "C:\\c", 0) +
                                                tests::RecordBytes("/d", "C:\\d", 3));
  EXPECT_EQ(NamesHere(), std::vector<std::string>{kSharesFileName});

  SharePtr added = registry.AppendShare("C:\\e", "/e", 0);
  ASSERT_EQ(AppendShareRecord(tests::StoredHere(), *added), ShareFileWrite::Written);
  EXPECT_EQ(ReadFileBytes(kSharesFileName),
            tests::RecordBytes("/a", "C:\\a", 0) + tests::RecordBytes("/c", "C:\\c", 0) +
                tests::RecordBytes("/d", "C:\\d", 3) + tests::RecordBytes("/e", "C:\\e", 0));

  ShareRegistry reloaded;
  ASSERT_EQ(LoadShares(tests::StoredHere(), reloaded), 1);
  EXPECT_EQ(Contents(reloaded), Contents(registry));
}

TEST(ShareFile, RewriteOfEmptyRegistryLeavesEmptyFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  ASSERT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Written);
  EXPECT_TRUE(std::filesystem::exists(kSharesFileName));
  EXPECT_EQ(ReadFileBytes(kSharesFileName), "");
}

TEST(ShareFile, FailedWritesKeepThePreviousFile) {
  ScopedTempDirectory dir;
  ShareRegistry registry;
  registry.AppendShare("C:\\temp\\a.txt", "/temp/a.txt", kOneShot);
  registry.AppendShare("C:\\b", "/b", 0);
  WriteFileBytes(kSharesFileName, kRecordExample);

  // Nothing is shown: a store is handed no message sink, its caller tells the user.
  EXPECT_EQ(RewriteShareFile(OnAFullDisk(), registry), ShareFileWrite::Failed);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
  EXPECT_EQ(NamesHere(), std::vector<std::string>{kSharesFileName});

  EXPECT_EQ(AppendShareRecord(OnAFullDisk(), *registry.ShareAt(1)), ShareFileWrite::Failed);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, HeldFileRefusesAppendAndRewrite) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  SharePtr share = registry.AppendShare("C:\\b", "/b", 0);
  platform::File holder = platform::File::OpenExclusiveRead(kSharesFileName);
  ASSERT_TRUE(holder.IsOpen());
  EXPECT_EQ(AppendShareRecord(tests::StoredHere(), *share), ShareFileWrite::Failed);
  EXPECT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Failed);
  holder.Close();
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
}

TEST(ShareFile, TextTooLongForItsLengthFieldIsRefused) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  SharePtr share = registry.AppendShare(std::string(65536, 'p'), "/long", 0);
  EXPECT_EQ(AppendShareRecord(tests::StoredHere(), *share), ShareFileWrite::Failed);
  EXPECT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Failed);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);

  // The longest storable text still goes through and comes back.
  ShareRegistry fits;
  fits.AppendShare(std::string(65535, 'p'), "/max", 0);
  ASSERT_EQ(RewriteShareFile(tests::StoredHere(), fits), ShareFileWrite::Written);
  ShareRegistry reloaded;
  ASSERT_EQ(LoadShares(tests::StoredHere(), reloaded), 1);
  ASSERT_EQ(reloaded.Count(), 1u);
  EXPECT_EQ(reloaded.ShareAt(0)->physicalPath.size(), 65535u);
}

TEST(SettingsFile, ParseTakesTheTextsItsHeaderDescribes) {
  struct Case {
    const char* name;
    std::string bytes;
    bool parsed;
    std::string domain;
    std::string folder;
  };
  const std::string header = std::string("QC\x51\x00\x00\x00\x02\x00", 8);
  const Case cases[] = {
      {"example", kSettingsExample, true, "localhost", "/temp"},
      {"tail ignored", kSettingsExample + "xyz", true, "localhost", "/temp"},
      {"folder only", header + std::string("\x00\x00\x02\x00", 4) + "/f", true, "", "/f"},
      {"one byte short of the folder", kSettingsExample.substr(0, kSettingsExample.size() - 1),
       false, "", ""},
      {"lengths past any file", header + std::string("\xFF\xFF\xFF\xFF", 4) + "abc", false, "", ""},
      {"header only, lengths zero", header + std::string(4, '\0'), true, "", ""},
      {"11 bytes", kSettingsExample.substr(0, 11), false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<ServerSettings> parsed = ParseSettings(c.bytes);
    ASSERT_EQ(parsed.has_value(), c.parsed);
    if (!parsed) continue;
    EXPECT_EQ(parsed->magic, kSettingsMagic);
    EXPECT_EQ(parsed->domain, c.domain);
    EXPECT_EQ(parsed->defaultFolder, c.folder);
    // Written back, the lengths are computed from the texts: the same bytes up to the
    // end of the texts.
    const std::string encoded = EncodeSettings(*parsed).value();
    EXPECT_EQ(encoded, c.bytes.substr(0, encoded.size()));
    EXPECT_EQ(encoded.size(), 12 + c.domain.size() + c.folder.size());
  }
}

TEST(ShareFile, ParseReportsWhereTheLastWholeRecordEnds) {
  const std::string one = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string two = tests::RecordBytes("", "C:\\two", 0xF004);
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t records;
    std::size_t wholeRecordsEnd;
  };
  const Case cases[] = {
      {"empty", "", 0, 0},
      {"one", one, 1, one.size()},
      {"two", one + two, 2, one.size() + two.size()},
      {"five header bytes after one", one + two.substr(0, 5), 1, one.size()},
      {"header after one, texts missing", one + two.substr(0, 6), 1, one.size()},
      {"second cut in its path", one + two.substr(0, two.size() - 1), 1, one.size()},
      {"cut in the first header", one.substr(0, 3), 0, 0},
      {"zero lengths", std::string(6, '\0'), 1, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedShares parsed = ParseShareRecords(c.bytes);
    EXPECT_EQ(parsed.records.size(), c.records);
    EXPECT_EQ(parsed.wholeRecordsEnd, c.wholeRecordsEnd);
    std::string encoded;
    for (const ShareRecord& r : parsed.records) {
      ASSERT_TRUE(EncodeShareRecord(encoded, r.virtualPath, r.physicalPath, r.flags));
    }
    EXPECT_EQ(encoded, c.bytes.substr(0, c.wholeRecordsEnd));
  }
  const ParsedShares both = ParseShareRecords(one + two);
  ASSERT_EQ(both.records.size(), 2u);
  EXPECT_EQ(both.records[1].virtualPath, "");
  EXPECT_EQ(both.records[1].physicalPath, "C:\\two");
  EXPECT_EQ(both.records[1].flags, 0xF004);
}

TEST(StoredFiles, SavesAreNeitherBlockedNorMisledByWhatHoldsATemporaryName) {
  // What a save cut short, a crash, or another user could leave beside the file under the
  // name saves once used for their temporary file.
  struct Case {
    const char* name;
    std::function<void(const std::string& temp)> plant;
  };
  const Case cases[] = {
      {"a leftover file", [](const std::string& temp) { WriteFileBytes(temp, "leftover"); }},
      {"a folder", [](const std::string& temp) { std::filesystem::create_directory(temp); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    c.plant("common.cfg.tmp");
    c.plant("shared.cfg.tmp");
    ServerSettings s;
    s.port = 81;
    s.domain = "localhost";
    s.defaultFolder = "/temp";
    ASSERT_EQ(SaveSettings(tests::StoredHere(), s), 1);
    EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
    ShareRegistry registry;
    registry.AppendShare("C:\\temp\\a.txt", "/temp/a.txt", kOneShot);
    ASSERT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Written);
    EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
    EXPECT_EQ(NamesHere(), (std::vector<std::string>{kSettingsFileName, "common.cfg.tmp",
                                                     kSharesFileName, "shared.cfg.tmp"}));
  }
}

TEST(StoredFiles, NewBytesAreSyncedBeforeTheyReplaceTheFile) {
  // The first sync sees the old bytes still in place: the new ones are synced in their
  // temporary file before the rename, so a power cut on either side of it leaves one
  // whole file, and the rename never lands before the bytes it names.
  struct Case {
    const char* name;
    const char* fileName;
    std::string before;
    std::string after;
    std::function<bool(const StoredFiles& files)> save;
  };
  const Case cases[] = {
      {"settings", kSettingsFileName, kSettingsExample,
       std::string("QC\x51\x00\x00\x00\x02\x00\x00\x00\x00\x00", 12),
       [](const StoredFiles& files) {
         ServerSettings s;
         s.port = 81;
         return SaveSettings(files, s) == 1;
       }},
      {"share list", kSharesFileName, kRecordExample, tests::RecordBytes("/b", "C:\\b", 0),
       [](const StoredFiles& files) {
         ShareRegistry registry;
         registry.AppendShare("C:\\b", "/b", 0);
         return RewriteShareFile(files, registry) == ShareFileWrite::Written;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    WriteFileBytes(c.fileName, c.before);
    std::vector<std::pair<platform::SyncKind, std::string>> syncs;
    ASSERT_TRUE(c.save(WithSyncs([&](platform::SyncKind kind) {
      syncs.push_back({kind, ReadFileBytes(c.fileName)});
      return true;
    })));
    ASSERT_FALSE(syncs.empty());
    EXPECT_EQ(syncs[0], std::make_pair(platform::SyncKind::File, c.before));
    EXPECT_EQ(ReadFileBytes(c.fileName), c.after);
  }
}

TEST(StoredFiles, AFailedSyncFailsTheSaveAndKeepsThePreviousFile) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, kSettingsExample);
  WriteFileBytes(kSharesFileName, kRecordExample);
  ShareRegistry registry;
  SharePtr share = registry.AppendShare("C:\\b", "/b", 0);
  {
    const StoredFiles failing =
        WithSyncs([](platform::SyncKind kind) { return kind != platform::SyncKind::File; });
    ServerSettings s;
    s.port = 9000;
    EXPECT_EQ(SaveSettings(failing, s), 0);
    EXPECT_EQ(RewriteShareFile(failing, registry), ShareFileWrite::Failed);
    // An append whose record may not have reached the disk is undone, not reported done.
    EXPECT_EQ(AppendShareRecord(failing, *share), ShareFileWrite::Failed);
  }
  EXPECT_EQ(ReadFileBytes(kSettingsFileName), kSettingsExample);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), kRecordExample);
  EXPECT_EQ(NamesHere(), (std::vector<std::string>{kSettingsFileName, kSharesFileName}));
}

TEST(ShareFile, ParseTellsDamageFromAnAppendCutShort) {
  const std::string one = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string two = tests::RecordBytes("/two", "C:\\two", 0);
  // The first record's virtual path length made to run past the end of the file.
  const std::string longOne = std::string("\x88\x13", 2) + one.substr(2);
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t records;
    bool damaged;
  };
  const Case cases[] = {
      {"whole records", one + two, 2, false},
      {"an append cut in its header", one + two.substr(0, 4), 1, false},
      {"an append cut in its paths", one + two.substr(0, two.size() - 2), 1, false},
      {"a length past the end, whole records behind it", longOne + two, 0, true},
      {"a length past the end in the middle", one + longOne + two, 1, true},
      // Cannot be told from an append cut short: one share is lost, as before.
      {"a length past the end of the last record", one + longOne, 1, false},
      {"a NUL byte in a virtual path",
       one + tests::RecordBytes(std::string("/a\0b", 4), "C:\\x", 0) + two, 1, true},
      {"a NUL byte in a physical path", tests::RecordBytes("/a", std::string("C:\0", 3), 0) + one,
       0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedShares parsed = ParseShareRecords(c.bytes);
    EXPECT_EQ(parsed.records.size(), c.records);
    EXPECT_EQ(parsed.damaged, c.damaged);
  }
}

TEST(ShareFile, DamagedFileIsKeptAsideBeforeTheLoadCutsIt) {
  const std::string one = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string two = tests::RecordBytes("/two", "C:\\two", 0);
  const std::string damaged = one + std::string("\x88\x13", 2) + two.substr(2) + two;
  ScopedTempDirectory dir;
  for (const char* keptAs :
       {"shared.cfg.damaged", "shared.cfg.damaged.2", "shared.cfg.damaged.3"}) {
    SCOPED_TRACE(keptAs);
    WriteFileBytes(kSharesFileName, damaged);
    ShareRegistry registry;
    ShareFileDamage damage;
    ASSERT_EQ(LoadShares(tests::StoredHere(), registry, &damage), 1);
    EXPECT_EQ(Contents(registry), (std::vector<Loaded>{{"/one", "C:\\one", 1}}));
    EXPECT_TRUE(damage.found);
    EXPECT_EQ(damage.keptAs, keptAs);
    EXPECT_EQ(ReadFileBytes(keptAs), damaged);
    EXPECT_EQ(ReadFileBytes(kSharesFileName), one);
    // The file is whole now: the next load finds nothing to tell.
    ShareFileDamage again;
    ASSERT_EQ(LoadShares(tests::StoredHere(), registry, &again), 1);
    EXPECT_FALSE(again.found);
  }
  // No copy was overwritten by a later one.
  EXPECT_EQ(ReadFileBytes("shared.cfg.damaged"), damaged);
  EXPECT_EQ(ReadFileBytes("shared.cfg.damaged.2"), damaged);

  // A record an interrupted append left unfinished is cut off without a copy or a word.
  WriteFileBytes(kSharesFileName, one + two.substr(0, 9));
  ShareRegistry registry;
  ShareFileDamage damage;
  ASSERT_EQ(LoadShares(tests::StoredHere(), registry, &damage), 1);
  EXPECT_FALSE(damage.found);
  EXPECT_EQ(ReadFileBytes(kSharesFileName), one);
  EXPECT_FALSE(std::filesystem::exists("shared.cfg.damaged.4"));
}

TEST(ShareFile, DamagedFileThatCannotBeCopiedIsLeftAsItIs) {
  ScopedTempDirectory dir;
  const std::string one = tests::RecordBytes("/one", "C:\\one", 1);
  const std::string damaged = one + tests::RecordBytes(std::string("/a\0b", 4), "C:\\x", 0);
  WriteFileBytes(kSharesFileName, damaged);
  ShareRegistry registry;
  ShareFileDamage damage;
  // The disk is full: the copy cannot be written.
  ASSERT_EQ(LoadShares(OnAFullDisk(), registry, &damage), 1);
  EXPECT_EQ(Contents(registry), (std::vector<Loaded>{{"/one", "C:\\one", 1}}));
  EXPECT_TRUE(damage.found);
  EXPECT_EQ(damage.keptAs, "");
  EXPECT_EQ(ReadFileBytes(kSharesFileName), damaged);
  EXPECT_EQ(NamesHere(), std::vector<std::string>{kSharesFileName});
}

}  // namespace
}  // namespace qc
