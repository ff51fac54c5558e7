// Completed downloads and download limits: the file that keeps them, and the registry's
// count and claim under concurrent answers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "shares/downloads_file.h"
#include "shares/share_registry.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::ScopedTempDirectory;

std::vector<DownloadRecord> Sample() {
  return {{"/a.txt", "/home/u/a.txt", {3, 1700000000, 0xC0A80105}, {}},
          {"/b c", "/srv/b c", {0, 0, 0}, {2, 1800000000}},
          {"/neg", "/x", {1, -5, 1}, {0, 0}}};
}

bool SameRecords(const std::vector<DownloadRecord>& a, const std::vector<DownloadRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const DownloadRecord& x = a[i];
    const DownloadRecord& y = b[i];
    if (x.virtualPath != y.virtualPath || x.physicalPath != y.physicalPath ||
        x.tally.completed != y.tally.completed || x.tally.lastTime != y.tally.lastTime ||
        x.tally.lastAddress != y.tally.lastAddress ||
        x.limits.maxDownloads != y.limits.maxDownloads || x.limits.until != y.limits.until) {
      return false;
    }
  }
  return true;
}

// Damage anywhere ends the reading at the record it hits; what came before stays.
TEST(DownloadsFile, ParseKeepsTheWholeRecordsBeforeAnyDamage) {
  const std::vector<DownloadRecord> all = Sample();
  const std::string bytes = EncodeDownloadRecords(all);
  const std::string first = EncodeDownloadRecords({all[0]});
  const std::size_t firstEnd = first.size();
  std::string flipped = bytes;
  flipped[firstEnd + 10] ^= 0x01;  // inside the second record's paths
  std::string longer = bytes;
  longer[firstEnd] = '\xFF';  // the second record's length runs past the end
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t records;
  };
  const Case cases[] = {
      {"whole", bytes, 3},
      {"nothing", "", 0},
      {"the mark alone", "QCD1", 0},
      {"another mark", "QCD2" + bytes.substr(4), 0},
      {"cut in the last record", bytes.substr(0, bytes.size() - 1), 2},
      {"cut in a header", bytes.substr(0, firstEnd + 3), 1},
      {"a byte changed", flipped, 1},
      {"a length past the end", longer, 1},
      {"bytes after the records", bytes + "xyz", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<DownloadRecord> parsed = ParseDownloadRecords(c.bytes);
    EXPECT_TRUE(
        SameRecords(parsed, std::vector<DownloadRecord>(all.begin(), all.begin() + c.records)));
  }
}

// Each record goes to the first share with both its paths; a share whose paths changed
// starts from nothing. Only shares with a count or a limit are written back.
TEST(DownloadsFile, LoadMatchesBothPathsAndStoreWritesWhatCounts) {
  ScopedTempDirectory dir;
  const StoredFiles files;
  ShareRegistry registry;
  const SharePtr a = registry.AppendShare("/home/u/a.txt", "/a.txt", 0);
  const SharePtr moved = registry.AppendShare("/elsewhere/b c", "/b c", 0);
  const SharePtr twin1 = registry.AppendShare("/x", "/neg", 0);
  const SharePtr twin2 = registry.AppendShare("/x", "/neg", 0);
  tests::WriteFileBytes(files.Downloads(), EncodeDownloadRecords(Sample()));
  EXPECT_TRUE(LoadDownloads(files, registry));
  EXPECT_EQ(a->Tally().completed, 3u);
  EXPECT_EQ(a->Tally().lastAddress, 0xC0A80105u);
  EXPECT_FALSE(moved->Limits().Any());
  EXPECT_EQ(twin1->Tally().completed, 1u);
  EXPECT_EQ(twin2->Tally().completed, 0u);

  ASSERT_EQ(StoreDownloads(files, registry), ShareFileWrite::Written);
  const std::vector<DownloadRecord> stored =
      ParseDownloadRecords(tests::ReadFileBytes(files.Downloads()));
  EXPECT_TRUE(SameRecords(stored, {Sample()[0], Sample()[2]}));

  // A damaged file loads what came before the damage and says so.
  std::string damaged = EncodeDownloadRecords(Sample());
  damaged.back() ^= 0x01;
  tests::WriteFileBytes(files.Downloads(), damaged);
  ShareRegistry again;
  const SharePtr b = again.AppendShare("/srv/b c", "/b c", 0);
  const SharePtr first = again.AppendShare("/home/u/a.txt", "/a.txt", 0);
  EXPECT_FALSE(LoadDownloads(files, again));
  EXPECT_EQ(b->Limits().maxDownloads, 2u);
  EXPECT_EQ(first->Tally().completed, 3u);
}

// Of many answers whose last piece is due at once, exactly the limit's number count and the
// last of them withdraws the share; the rest leave their piece out.
TEST(DownloadLimits, ConcurrentClaimsCountExactlyTheLimit) {
  struct Case {
    const char* name;
    std::uint32_t flags;
    std::uint64_t limit;
    int expected;  // counted; 0 below means no limit: every answer counts
  };
  const Case cases[] = {
      {"one-shot", kOneShot, 0, 1},
      {"limit 2", 0, 2, 2},
      {"limit 5", 0, 5, 5},
      {"no limit", 0, 0, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShareRegistry registry;
    std::atomic<int> withdrawals{0};
    std::atomic<int> stores{0};
    registry.SetWithdrawalListener([&] { ++withdrawals; });
    registry.SetDownloadListener([&](const Share&, const DownloadEnd&, bool) { ++stores; });
    const SharePtr share = registry.AppendShare("/f", "/f", c.flags);
    share->SetLimits({c.limit, 0});
    std::atomic<int> counted{0}, won{0}, lost{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i) {
      threads.emplace_back([&, i] {
        const LastPieceClaim claim = registry.ClaimLastPiece(
            share, "/f", {100 + i, static_cast<std::uint32_t>(i + 1), true});
        if (claim == LastPieceClaim::Counted) ++counted;
        if (claim == LastPieceClaim::Won) ++won;
        if (claim == LastPieceClaim::Lost) ++lost;
      });
    }
    for (std::thread& t : threads) t.join();
    const bool limited = c.expected < 20;
    EXPECT_EQ(counted + won, c.expected);
    EXPECT_EQ(won.load(), limited ? 1 : 0);
    EXPECT_EQ(lost.load(), 20 - c.expected);
    EXPECT_EQ(share->IsWithdrawn(), limited);
    EXPECT_EQ(withdrawals.load(), limited ? 1 : 0);
    EXPECT_EQ(stores.load(), c.expected);
    EXPECT_EQ(share->Tally().completed, static_cast<std::uint64_t>(c.expected));
    EXPECT_NE(share->Tally().lastAddress, 0u);
  }
}

// A link preview never counts; a share's end time withdraws it at the first request after it.
TEST(DownloadLimits, PreviewsDoNotCountAndTheEndTimeWithdraws) {
  ShareRegistry registry;
  int withdrawals = 0;
  registry.SetWithdrawalListener([&] { ++withdrawals; });
  const SharePtr share = registry.AppendShare("/f", "/f", 0);
  share->SetLimits({1, 1000});
  EXPECT_EQ(registry.ClaimLastPiece(share, "/f", {5, 1, false}), LastPieceClaim::NotClaimed);
  EXPECT_EQ(share->Tally().completed, 0u);
  struct Case {
    std::int64_t now;
    bool expired;
    int withdrawals;
  };
  for (const Case& c : {Case{999, false, 0}, Case{1000, true, 1}, Case{5000, true, 1}}) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(registry.ExpireIfDue(share, c.now), c.expired);
    EXPECT_EQ(share->IsWithdrawn(), c.expired);
    EXPECT_EQ(withdrawals, c.withdrawals);
  }
  // A download under way when the time passed may finish and counts; its limit still holds.
  EXPECT_EQ(registry.ClaimLastPiece(share, "/f", {1001, 1, true}), LastPieceClaim::Counted);
  EXPECT_EQ(registry.ClaimLastPiece(share, "/f", {1002, 1, true}), LastPieceClaim::Lost);
  EXPECT_EQ(share->Tally().completed, 1u);
  EXPECT_EQ(withdrawals, 1);
  const SharePtr open = registry.AppendShare("/g", "/g", 0);
  EXPECT_FALSE(registry.ExpireIfDue(open, 1 << 30));
}

}  // namespace
}  // namespace qc
