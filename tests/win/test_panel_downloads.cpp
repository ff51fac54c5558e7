// The panel's download columns read back from the list view as the user sees them: counts,
// the last download, what remains and the running downloads' progress, refreshed in place;
// the limits set in New share and Share limits by the native command's rules; a deleted
// share's counts gone from downloads.cfg at Close.
#include <atomic>
#include <ctime>

#include "app/server.h"
#include "shares/downloads_file.h"
#include "shares/running_downloads.h"
#include "shares/share_limits.h"
#include "test_ui_fixture.h"
#include "ui/ui_session.h"
#include "ui/ui_texts.h"

namespace qc::tests {
namespace {

constexpr char kLimitsClass[] = "WndClassQuillcastLimits";
constexpr int kEditLimits = 2019, kLimitsOk = 2032, kLimitsCancel = 2031;
constexpr int kDownloadsField = 2021, kEndField = 2023;
constexpr int kDownloads = 2, kLast = 3, kRemaining = 4, kProgress = 5;
constexpr std::uint32_t kClient = (192u << 24) | (168u << 16) | (1u << 8) | 23u;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

class PanelDownloadsTest : public PanelTest {
 protected:
  HWND LimitsWindow() { return FindWindowA(kLimitsClass, nullptr); }
  void Select(int row) {
    SetRowState(row, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  }
  bool WaitForCell(int row, int column, const std::string& text) {
    return WaitFor([&] { return Cell(row, column) == text; });
  }
  std::vector<DownloadRecord> StoredRecords() {
    return ParseDownloadRecords(ReadFileBytes(app_.storedFiles.Downloads()));
  }
};

TEST_F(PanelDownloadsTest, ColumnsShowCountsLastDownloadAndWhatRemains) {
  const std::int64_t last = 1'800'000'000;
  const std::int64_t until = Now() + 3 * 3600 + 60;
  struct Case {
    const char* name;
    std::uint32_t flags;
    DownloadTally tally;
    ShareLimits limits;
    std::string downloads, remaining;
  };
  const Case cases[] = {
      {"a", 0, {}, {}, "0", ""},
      {"b", 0, {1, last, kClient}, {3, 0}, "1", "2 of 3 left"},
      {"c", kOneShot, {}, {}, "0", "1 of 1 left"},
      {"d", 0, {1234, last, 0}, {0, until}, ui::UserLocaleFormat().number("1234"), "ends in 3 h"},
      {"e", 0, {2, last, kClient}, {3, until}, "2", "1 of 3 left, ends in 3 h"},
      {"f", kOneShot | kWithdrawn, {1, last, kClient}, {}, "1", "ended"},
  };
  for (const Case& c : cases) {
    app_.shares.AppendShare(std::string("C:\\x\\") + c.name, std::string("/v/") + c.name, c.flags)
        ->Restore(c.tally, c.limits);
  }
  OpenPanel();
  // The locale under Wine here is English (United States): a comma groups the thousands.
  const std::string moment = ui::UserLocaleFormat().moment(last);
  ASSERT_FALSE(moment.empty());
  for (int row = 0; row < static_cast<int>(std::size(cases)); ++row) {
    const Case& c = cases[row];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Cell(row, kDownloads), c.downloads);
    EXPECT_EQ(Cell(row, kRemaining), c.remaining);
    EXPECT_EQ(Cell(row, kProgress), "");
    std::string expectedLast;
    if (c.tally.lastTime != 0) expectedLast = moment;
    if (c.tally.lastAddress != 0) expectedLast += " from 192.168.1.23";
    EXPECT_EQ(Cell(row, kLast), expectedLast);
  }
}

// A download counted while the panel is open, and one running: the cells follow within the
// timer's period, the rows and the selection stay as they were.
TEST_F(PanelDownloadsTest, ProgressAndCountsAreRefreshedInPlace) {
  const SharePtr share = app_.shares.AppendShare("C:\\x\\big.bin", "/v/big.bin", 0);
  app_.shares.AppendShare("C:\\x\\other", "/v/other", 0);
  OpenPanel();
  Select(0);
  std::atomic<std::int64_t> sent{0};
  {
    const RunningDownloads::Entry running(app_.shares.Running(), share.get(), 4 << 20, sent);
    sent += 1 << 20;
    ASSERT_TRUE(WaitFor([&] { return Cell(0, kProgress).rfind("25 %", 0) == 0; }))
        << Cell(0, kProgress);
    // Another megabyte each tick: a rate is measured from the second sample on.
    ASSERT_TRUE(WaitFor([&] {
      if (sent.load() < (3 << 20)) sent += 64 << 10;
      return Cell(0, kProgress).find(" at ") != std::string::npos;
    })) << Cell(0, kProgress);
    EXPECT_TRUE(Cell(0, kProgress).find("B/s") != std::string::npos) << Cell(0, kProgress);
    EXPECT_EQ(Cell(1, kProgress), "");
    ASSERT_EQ(app_.shares.ClaimLastPiece(share, "/v/big.bin", {Now(), kClient, true, 4 << 20}),
              LastPieceClaim::Counted);
    ASSERT_TRUE(WaitForCell(0, kDownloads, "1"));
    EXPECT_TRUE(Cell(0, kLast).find(" from 192.168.1.23") != std::string::npos);
  }
  ASSERT_TRUE(WaitForCell(0, kProgress, ""));
  EXPECT_EQ(RowCount(), 2);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"big.bin", "other"}));
  EXPECT_EQ(SendMessageA(List(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 0);
}

TEST_F(PanelDownloadsTest, EditLimitsFollowsTheCommandsRules) {
  const SharePtr share = app_.shares.AppendShare("C:\\x\\a", "/v/a", 0);
  share->Restore({2, Now() - 60, kClient}, {});
  app_.shares.AppendShare("C:\\x\\b", "/v/b", kOneShot | kWithdrawn);
  OpenPanel();

  Click(panel_, kEditLimits);  // nothing selected
  ASSERT_EQ(messages_.Messages().size(), 1u);
  EXPECT_EQ(messages_.Messages()[0].text, ui::kSelectShareMessage.text);
  Select(1);
  Click(panel_, kEditLimits);  // an ended share
  ASSERT_EQ(messages_.Messages().size(), 2u);
  EXPECT_EQ(messages_.Messages()[1].text, ui::kShareEndedMessage.text);
  SetRowState(1, 0, LVIS_FOCUSED | LVIS_SELECTED);

  Select(0);
  Click(panel_, kEditLimits);
  HWND limits = LimitsWindow();
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(limits) != FALSE; }));
  EXPECT_FALSE(IsWindowVisible(panel_));
  EXPECT_EQ(Text(limits, 2030), "/v/a");
  EXPECT_EQ(Text(limits, kDownloadsField), "");
  EXPECT_EQ(Text(limits, kEndField), "");

  const std::string future = LocalDateTimeText(Now() + 30 * 3600 + 600);
  struct Refusal {
    const char* downloads;
    std::string end;
    const platform::Message& message;
  };
  const Refusal refusals[] = {
      {"0", "", ui::kLimitDownloadsMessage},
      {"three", "", ui::kLimitDownloadsMessage},
      {"2", "", ui::kLimitBelowCountMessage},  // downloaded twice already
      {"5", "2026-02-30T10:00", ui::kLimitEndFormMessage},
      {"5", "2001-01-01T00:00", ui::kLimitEndPassedMessage},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(std::string(r.downloads) + "|" + r.end);
    messages_.Clear();
    SetText(limits, kDownloadsField, r.downloads);
    SetText(limits, kEndField, r.end);
    Click(limits, kLimitsOk);
    ASSERT_EQ(messages_.Messages().size(), 1u);
    EXPECT_EQ(messages_.Messages()[0].text, r.message.text);
    EXPECT_TRUE(IsWindowVisible(limits));
    EXPECT_FALSE(share->Limits().Any());
  }
  EXPECT_FALSE(Exists("downloads.cfg"));

  messages_.Clear();
  SetText(limits, kDownloadsField, " 5 ");
  SetText(limits, kEndField, future);
  Click(limits, kLimitsOk);
  EXPECT_TRUE(messages_.Messages().empty());
  EXPECT_FALSE(IsWindowVisible(limits));
  EXPECT_TRUE(IsWindowVisible(panel_));
  EXPECT_EQ(share->Limits().maxDownloads, 5u);
  EXPECT_EQ(LocalDateTimeText(share->Limits().until), future);
  EXPECT_EQ(Cell(0, kRemaining), "3 of 5 left, ends in 30 h");
  // Stored at once, as the native command's limits are.
  const std::vector<DownloadRecord> stored = StoredRecords();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].limits.maxDownloads, 5u);
  EXPECT_EQ(stored[0].tally.completed, 2u);

  // Shown again with what it holds; emptied fields take the limits away.
  Click(panel_, kEditLimits);
  EXPECT_EQ(Text(limits, kDownloadsField), "5");
  EXPECT_EQ(Text(limits, kEndField), future);
  SetText(limits, kDownloadsField, "");
  SetText(limits, kEndField, "");
  Click(limits, kLimitsOk);
  EXPECT_FALSE(share->Limits().Any());
  EXPECT_EQ(Cell(0, kRemaining), "");
  // Cancel changes nothing.
  Click(panel_, kEditLimits);
  SetText(limits, kDownloadsField, "9");
  Click(limits, kLimitsCancel);
  EXPECT_FALSE(share->Limits().Any());
}

TEST_F(PanelDownloadsTest, OneShotShareKeepsItsFlagAsItsLimit) {
  const SharePtr share = app_.shares.AppendShare("C:\\x\\a", "/v/a", kOneShot);
  OpenPanel();
  Select(0);
  Click(panel_, kEditLimits);
  HWND limits = LimitsWindow();
  EXPECT_EQ(Text(limits, kDownloadsField), "1");
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(limits, kDownloadsField)));
  const std::string future = LocalDateTimeText(Now() + 3600 * 5);
  SetText(limits, kEndField, future);
  Click(limits, kLimitsOk);
  EXPECT_TRUE(messages_.Messages().empty());
  EXPECT_TRUE(share->IsOneShot());
  EXPECT_EQ(share->Limits().maxDownloads, 0u);
  EXPECT_EQ(Cell(0, kRemaining), "1 of 1 left, ends in 5 h");
}

TEST_F(PanelDownloadsTest, NewShareTakesLimitsOrRefusesThem) {
  WriteFileBytes("n.txt", "n");
  const std::string path = platform::CurrentDirectory() + "\\n.txt";
  OpenPanel();
  Click(panel_, 2014);
  SetText(newShare_, 2003, path);
  SetText(newShare_, kDownloadsField, "-3");
  Click(newShare_, 2015);
  ASSERT_EQ(messages_.Messages().size(), 1u);
  EXPECT_EQ(messages_.Messages()[0].text, ui::kLimitDownloadsMessage.text);
  EXPECT_EQ(app_.shares.Count(), 0u);
  EXPECT_TRUE(IsWindowVisible(newShare_));

  SetText(newShare_, kDownloadsField, "3");
  Click(newShare_, 2015);
  ASSERT_EQ(app_.shares.Count(), 1u);
  EXPECT_EQ(app_.shares.ShareAt(0)->Limits().maxDownloads, 3u);
  EXPECT_FALSE(app_.shares.ShareAt(0)->IsOneShot());
  ASSERT_TRUE(WaitForCell(0, kRemaining, "3 of 3 left"));
  ASSERT_EQ(StoredRecords().size(), 1u);
  EXPECT_EQ(StoredRecords()[0].limits.maxDownloads, 3u);
  // The next New share starts with empty fields.
  Click(panel_, 2014);
  EXPECT_EQ(Text(newShare_, kDownloadsField), "");
  EXPECT_EQ(Text(newShare_, kEndField), "");
}

TEST_F(PanelDownloadsTest, DeletedShareLeavesDownloadsCfgAtClose) {
  for (const char* name : {"a", "b"}) {
    app_.shares.AppendShare(std::string("C:\\x\\") + name, std::string("/v/") + name, 0)
        ->Restore({3, Now(), kClient}, {5, 0});
  }
  ASSERT_EQ(StoreDownloads(app_.storedFiles, app_.shares), ShareFileWrite::Written);
  ASSERT_EQ(StoredRecords().size(), 2u);
  OpenPanel();
  Select(0);
  Click(panel_, 2015);
  EXPECT_EQ(StoredRecords().size(), 2u);  // with shared.cfg, at "Close"
  PressClose();
  const std::vector<DownloadRecord> stored = StoredRecords();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].virtualPath, "/v/b");
  EXPECT_EQ(stored[0].tally.completed, 3u);
}

}  // namespace
}  // namespace qc::tests
