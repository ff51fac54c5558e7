// The limits new shares get unless they are given their own: how they are typed, how they
// combine with a command's own, and the file that keeps them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shares/downloads_file.h"
#include "shares/share_adding.h"
#include "shares/share_defaults.h"
#include "shares/settings_file.h"
#include "shares/share_file.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::ScopedTempDirectory;

constexpr std::int64_t kDay = 24 * 3600;

TEST(ShareDefaults, TypedValuesAreReadOrRefused) {
  struct Case {
    std::string text;
    std::optional<std::int64_t> lifetime;    // ParseLifetime
    std::optional<std::uint64_t> downloads;  // ParseDefaultDownloads
  };
  const Case cases[] = {
      {"", 0, 0},
      {"0", 0, 0},
      {"7d", 7 * kDay, std::nullopt},
      {"24h", kDay, std::nullopt},
      {"90m", 90 * 60, std::nullopt},
      {"0h", 0, std::nullopt},
      {"3650d", 3650 * kDay, std::nullopt},
      {"87600h", 3650 * kDay, std::nullopt},
      // More than ten years, even where the number itself would overflow as seconds.
      {"3651d", std::nullopt, std::nullopt},
      {"999999999d", std::nullopt, std::nullopt},
      {"7", std::nullopt, 7},
      {"123456789", std::nullopt, 123456789},
      {"1234567890", std::nullopt, std::nullopt},
      {"7D", std::nullopt, std::nullopt},
      {"7s", std::nullopt, std::nullopt},
      {"7w", std::nullopt, std::nullopt},
      {"d", std::nullopt, std::nullopt},
      {"-1d", std::nullopt, std::nullopt},
      {"+3", std::nullopt, std::nullopt},
      {" 3", std::nullopt, std::nullopt},
      {"1d12h", std::nullopt, std::nullopt},
      {"1.5d", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\"");
    EXPECT_EQ(ParseLifetime(c.text), c.lifetime);
    EXPECT_EQ(ParseDefaultDownloads(c.text), c.downloads);
    // What -config shows is read back as the same lifetime.
    if (c.lifetime) {
      EXPECT_EQ(ParseLifetime(LifetimeText(*c.lifetime)), c.lifetime);
    }
  }
  EXPECT_EQ(LifetimeText(0), "0");
  EXPECT_EQ(LifetimeText(36 * 3600), "36h");
  EXPECT_EQ(LifetimeText(14 * kDay), "14d");
}

// Each limit the command gives wins over its default; the other default still holds.
TEST(ShareDefaults, TheCommandsOwnLimitsWinEachOnItsOwn) {
  constexpr std::int64_t kNow = 1800000000;
  struct Case {
    const char* name;
    ShareDefaults defaults;
    ShareLimits asked;
    ShareLimits expected;
  };
  const Case cases[] = {
      {"no defaults", {}, {}, {}},
      {"defaults alone", {1, 7 * kDay}, {}, {1, kNow + 7 * kDay}},
      {"-limit wins", {1, 7 * kDay}, {3, 0}, {3, kNow + 7 * kDay}},
      {"-until wins", {1, 7 * kDay}, {0, kNow + 60}, {1, kNow + 60}},
      {"both win", {1, 7 * kDay}, {3, kNow + 60}, {3, kNow + 60}},
      {"no default lifetime", {2, 0}, {}, {2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ShareLimits got = LimitsOfNewShare(c.defaults, c.asked, kNow);
    EXPECT_EQ(got.maxDownloads, c.expected.maxDownloads);
    EXPECT_EQ(got.until, c.expected.until);
  }
}

// A new share takes the limits at once; a file shared already keeps its own.
TEST(ShareDefaults, OnlyANewShareTakesTheLimits) {
  ScopedTempDirectory dir;
  const StoredFiles files;
  ShareRegistry registry;
  ServerSettings settings;
  const AddedShare first =
      AddAndStoreShare(files, registry, settings, "/home/u/a.txt", "/a.txt", {2, 1900000000});
  ASSERT_EQ(first.outcome, ShareAddition::Added);
  EXPECT_EQ(first.share->Limits().maxDownloads, 2u);
  EXPECT_EQ(first.share->Limits().until, 1900000000);
  const AddedShare again =
      AddAndStoreShare(files, registry, settings, "/home/u/a.txt", "/a.txt", {5, 0});
  ASSERT_EQ(again.outcome, ShareAddition::AlreadyShared);
  EXPECT_EQ(again.share->Limits().maxDownloads, 2u);
  EXPECT_EQ(again.share->Limits().until, 1900000000);
}

// The file holds one whole record; anything else reads as damage and costs the defaults
// alone: the share list and the counts beside it load as they were.
TEST(ShareDefaults, ADamagedFileCostsTheDefaultsOnly) {
  ScopedTempDirectory dir;
  const StoredFiles files;
  const ShareDefaults stored{3, 7 * kDay};
  ASSERT_TRUE(StoreShareDefaults(files, stored));
  const std::string good = tests::ReadFileBytes(files.Defaults());
  ASSERT_EQ(good, EncodeShareDefaults(stored));
  std::string flipped = good;
  flipped[6] ^= 0x01;
  std::string negative = EncodeShareDefaults({3, 0});
  negative[19] = '\x80';  // the lifetime's top byte: a negative number of seconds
  struct Case {
    const char* name;
    std::optional<std::string> bytes;  // none: no file
    DefaultsLoad load;
    ShareDefaults expected;
  };
  const Case cases[] = {
      {"whole", good, DefaultsLoad::Loaded, stored},
      {"none set", EncodeShareDefaults({}), DefaultsLoad::Loaded, {}},
      {"missing", std::nullopt, DefaultsLoad::Missing, {}},
      {"empty", std::string(), DefaultsLoad::Damaged, {}},
      {"cut", good.substr(0, good.size() - 1), DefaultsLoad::Damaged, {}},
      {"longer", good + "x", DefaultsLoad::Damaged, {}},
      {"a flipped bit", flipped, DefaultsLoad::Damaged, {}},
      {"another mark", "QCN2" + good.substr(4), DefaultsLoad::Damaged, {}},
      {"a negative lifetime", negative, DefaultsLoad::Damaged, {}},
  };
  const std::string shares = tests::RecordBytes("/a.txt", "/home/u/a.txt", 0);
  const std::string counts =
      EncodeDownloadRecords({{"/a.txt", "/home/u/a.txt", {4, 5, 6}, {9, 0}}});
  tests::WriteFileBytes(files.Shares(), shares);
  tests::WriteFileBytes(files.Downloads(), counts);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RemoveFile(files.Defaults());
    if (c.bytes) tests::WriteFileBytes(files.Defaults(), *c.bytes);
    ShareDefaults defaults{8, 8};
    EXPECT_EQ(LoadShareDefaults(files, defaults), c.load);
    EXPECT_EQ(defaults, c.expected);
    ShareRegistry registry;
    ASSERT_EQ(LoadShares(files, registry), 1);
    EXPECT_TRUE(LoadDownloads(files, registry));
    ASSERT_EQ(registry.Snapshot().size(), 1u);
    EXPECT_EQ(registry.Snapshot()[0]->Tally().completed, 4u);
    EXPECT_EQ(registry.Snapshot()[0]->Limits().maxDownloads, 9u);
    // A damaged file is left for the user to look at, never rewritten by a load.
    if (c.bytes) {
      EXPECT_EQ(tests::ReadFileBytes(files.Defaults()), *c.bytes);
    }
  }
  EXPECT_EQ(tests::ReadFileBytes(files.Shares()), shares);
  EXPECT_EQ(tests::ReadFileBytes(files.Downloads()), counts);
}

// The settings and the defaults change together or not at all: a failed write of either
// leaves both files as they were (newshares.cfg put back, or removed when there was none),
// and says which file failed; only when the putting back fails too are the defaults alone
// changed, and that is said.
TEST(ShareDefaults, ASettingsChangeIsStoredWholeOrNotAtAll) {
  enum Defaults { Old, New, None };
  struct Case {
    const char* name;
    bool settings, defaults, previousFile;
    std::vector<int> failingWrites;  // the File::Write calls that fail, counted from 1
    SettingsStore outcome;
    const char* failed;  // file name, or empty
    Defaults left;
  };
  using enum SettingsStore;
  const Case cases[] = {
      {"both written", true, true, true, {}, Stored, "", New},
      {"defaults fail", true, true, true, {1}, NothingChanged, "newshares.cfg", Old},
      {"settings fail, defaults back", true, true, true, {2}, NothingChanged, "common.cfg", Old},
      {"settings fail, none before", true, true, false, {2}, NothingChanged, "common.cfg", None},
      {"putting back fails too", true, true, true, {2, 3}, OnlyDefaultsStored, "common.cfg", New},
      {"settings alone fail", true, false, true, {1}, NothingChanged, "common.cfg", Old},
      {"defaults alone fail", false, true, true, {1}, NothingChanged, "newshares.cfg", Old},
      {"defaults alone written", false, true, false, {}, Stored, "", New},
  };

  const ShareDefaults oldDefaults{3, kDay};
  const ShareDefaults newDefaults{5, 2 * kDay};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    ServerSettings old;
    old.port = 8080;
    ASSERT_NE(SaveSettings(tests::StoredHere(), old), 0);
    if (c.previousFile) {
      ASSERT_TRUE(StoreShareDefaults(tests::StoredHere(), oldDefaults));
    }
    auto writes = std::make_shared<int>(0);
    platform::DiskFaults faults;
    faults.writeAllowed = [writes, failing = c.failingWrites] {
      return std::find(failing.begin(), failing.end(), ++*writes) == failing.end();
    };
    const StoredFiles files = tests::StoredHereWith(faults);
    ServerSettings changed = old;
    changed.port = 9090;
    ShareDefaults defaults = newDefaults;
    const SettingsStoreResult result = StoreSettingsChange(
        files, c.settings ? &changed : nullptr, c.defaults ? &defaults : nullptr,
        c.previousFile ? std::optional(oldDefaults) : std::nullopt);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.failedFile, *c.failed ? files.PathOf(c.failed) : std::string());
    if (*c.failed) {
      EXPECT_NE(result.error.code, 0);
    }
    ServerSettings loaded;
    ASSERT_EQ(LoadSettings(files, loaded), 1);
    EXPECT_EQ(loaded.port, c.settings && c.outcome == Stored ? 9090 : 8080);
    ShareDefaults left;
    const DefaultsLoad load = LoadShareDefaults(files, left);
    if (c.left == None) {
      EXPECT_EQ(load, DefaultsLoad::Missing);
    } else {
      EXPECT_EQ(load, DefaultsLoad::Loaded);
      EXPECT_EQ(left, c.left == New ? newDefaults : oldDefaults);
    }
  }
}

}  // namespace
}  // namespace qc
