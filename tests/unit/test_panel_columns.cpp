// The share list's download columns as texts, the notices of completed downloads, the
// typed limits of New share and Share limits, and the table of running downloads the
// progress column reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/download_notices.h"
#include "shares/running_downloads.h"
#include "shares/share_limits.h"
#include "ui/panel_logic.h"

namespace qc::tests {
namespace {

// A locale that writes every number in brackets and a moment as "@N": what comes from it
// is seen in the texts, what does not is not.
ui::LocaleFormat MarkedLocale() {
  return {[](const std::string& digits) { return "<" + digits + ">"; },
          [](std::int64_t t) { return "@" + std::to_string(t); }};
}

constexpr std::uint32_t kClient = (192u << 24) | (168u << 16) | (1u << 8) | 23u;

TEST(PanelColumns, RemainingCountsAndTime) {
  struct Case {
    ui::ShareState share;
    std::int64_t now;
    const char* text;
  };
  const std::int64_t t0 = 1'800'000'000;
  const Case cases[] = {
      {{false, false, 1, {3, 0}}, t0, "<2> of <3> left"},
      {{false, false, 5, {3, 0}}, t0, "<0> of <3> left"},
      {{true, false, 0, {}}, t0, "<1> of <1> left"},
      {{false, false, 0, {0, t0 + 3 * 3600}}, t0, "ends in <3> h"},
      {{false, false, 0, {0, t0 + 3 * 3600 + 1700}}, t0, "ends in <3> h"},
      {{false, false, 0, {0, t0 + 45}}, t0, "ends in <45> s"},
      {{false, false, 0, {0, t0 + 61}}, t0, "ends in <2> min"},
      {{false, false, 0, {0, t0 + 99 * 60}}, t0, "ends in <99> min"},
      {{false, false, 0, {0, t0 + 3 * 86400 + 3600}}, t0, "ends in <3> d"},
      {{false, false, 1, {3, t0 + 3 * 3600}}, t0, "<2> of <3> left, ends in <3> h"},
      {{false, false, 0, {0, t0}}, t0, "time is up"},
      {{false, true, 3, {3, t0 + 60}}, t0, "ended"},
      {{false, false, 7, {}}, t0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::RemainingColumnText(c.share, c.now, MarkedLocale()), c.text) << c.text;
  }
}

TEST(PanelColumns, CountsLastDownloadAndProgress) {
  const ui::LocaleFormat locale = MarkedLocale();
  EXPECT_EQ(ui::DownloadsColumnText(1234, locale), "<1234>");
  EXPECT_EQ(ui::LastDownloadColumnText({2, 1'800'000'000, kClient}, locale),
            "@1800000000 from 192.168.1.23");
  EXPECT_EQ(ui::LastDownloadColumnText({0, 0, 0}, locale), "");
  EXPECT_EQ(ui::LastDownloadColumnText({1, 1'800'000'000, 0}, locale), "@1800000000");

  struct Case {
    std::int64_t sent, total;
    double rate;
    int answers;
    const char* text;
  };
  const Case cases[] = {
      {420, 1000, 0.0, 1, "<42> %"},
      {999, 1000, 1.3e6, 1, "<99> % at <1.2> MB/s"},
      {1000, 1000, 512.0, 1, "<100> % at <512> bytes/s"},
      {3 * 1024, 4 * 1024, 150.0 * 1024 * 1024, 4, "<75> % at <150> MB/s (4 connections)"},
      {0, 0, 0.0, 1, ""},
      {5, 10, 100.0, 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::ProgressColumnText(c.sent, c.total, c.rate, c.answers, locale), c.text) << c.text;
  }
}

TEST(PanelColumns, RateFollowsTheSamples) {
  ui::ProgressRates rates;
  int a = 0, b = 0;
  EXPECT_EQ(rates.Sample(&a, 0, 10.0), 0.0);
  EXPECT_DOUBLE_EQ(rates.Sample(&a, 1000, 11.0), 1000.0);
  EXPECT_DOUBLE_EQ(rates.Sample(&a, 4000, 12.0), 2000.0);  // halfway to the new 3000/s
  // One of several answers ended and took its bytes out of the sum: the rate stays.
  EXPECT_DOUBLE_EQ(rates.Sample(&a, 1500, 13.0), 2000.0);
  EXPECT_DOUBLE_EQ(rates.Sample(&a, 1500, 13.0), 2000.0);  // no time passed
  rates.ForgetUnsampled();
  EXPECT_EQ(rates.Sample(&b, 100, 13.0), 0.0);
  rates.ForgetUnsampled();  // `a` was not sampled since: it starts afresh
  EXPECT_EQ(rates.Sample(&a, 9000, 14.0), 0.0);
}

TEST(DownloadNoticeTexts, OneOrSeveral) {
  struct Case {
    CompletedDownload first;
    std::size_t count;
    bool same;
    const char* title;
    const char* text;
  };
  const Case cases[] = {
      {{"report.pdf", kClient, 13'002'342},
       1,
       true,
       kNoticeDownloadCompleted,
       "report.pdf was sent to 192.168.1.23 (12.4 MB)"},
      {{"a.txt", 0, 1}, 1, true, kNoticeDownloadCompleted, "a.txt was sent (1 byte)"},
      {{"report.pdf", kClient, 5},
       3,
       false,
       kNoticeDownloadsCompleted,
       "3 downloads completed: report.pdf and 2 more"},
      {{"report.pdf", kClient, 5},
       2,
       true,
       kNoticeDownloadsCompleted,
       "2 downloads completed: report.pdf, 2 times"},
  };
  for (const Case& c : cases) {
    const DownloadNoticeText notice = ComposeDownloadNotice(c.first, c.count, c.same);
    EXPECT_EQ(notice.title, c.title);
    EXPECT_EQ(notice.text, c.text);
  }
  const std::pair<std::int64_t, const char*> sizes[] = {
      {0, "0 bytes"},           {1023, "1023 bytes"},      {1024, "1.0 KB"},
      {1048525, "1.0 MB"},      {99 * 1048576, "99.0 MB"}, {100 * 1048576, "100 MB"},
      {1536LL << 20, "1.5 GB"}, {-5, "0 bytes"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(ByteSizeText(bytes), text) << bytes;
}

// Downloads that complete close together make one notice; a quiet pause or the gathering's
// limit ends it; nothing is gathered while the notices are off.
TEST(DownloadNoticeTexts, GatheredWhileTheyComeClose) {
  using namespace std::chrono_literals;
  const auto t0 = DownloadNotices::Clock::time_point{} + 1h;
  struct Step {
    std::chrono::milliseconds at;
    const char* added;  // null: only look
    const char* told;   // null: nothing due
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"single",
       {{0ms, "a", nullptr},
        {1400ms, nullptr, nullptr},
        {1500ms, nullptr, "a was sent (1 byte)"},
        {5000ms, nullptr, nullptr}}},
      {"burst",
       {{0ms, "a", nullptr},
        {500ms, "b", nullptr},
        {1000ms, "c", nullptr},
        {2400ms, nullptr, nullptr},
        {2500ms, nullptr, "3 downloads completed: a and 2 more"}}},
      {"steady stream ends at the limit",
       {{0ms, "a", nullptr},
        {1000ms, "a", nullptr},
        {2000ms, "a", nullptr},
        {3000ms, "a", nullptr},
        {4000ms, "a", nullptr},
        {5000ms, nullptr, "5 downloads completed: a, 5 times"},
        {5100ms, "b", nullptr},
        {6600ms, nullptr, "b was sent (1 byte)"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DownloadNotices notices;
    notices.SetWanted(true);
    for (const Step& step : c.steps) {
      if (step.added != nullptr) notices.Add({step.added, 0, 1}, t0 + step.at);
      const std::optional<DownloadNoticeText> due = notices.TakeDue(t0 + step.at);
      ASSERT_EQ(due.has_value(), step.told != nullptr) << step.at.count();
      if (due) {
        EXPECT_EQ(due->text, step.told);
      }
    }
  }
  DownloadNotices off;
  off.Add({"a", 0, 1}, t0);
  EXPECT_FALSE(off.TakeDue(t0 + 1h).has_value());
  off.SetWanted(true);
  off.Add({"a", 0, 1}, t0);
  off.SetWanted(false);  // turned off with one gathered: it is dropped
  EXPECT_FALSE(off.TakeDue(t0 + 1h).has_value());
}

TEST(TypedLimits, FollowTheCommandsRules) {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  const std::string future = LocalDateTimeText(now + 10 * 86400);
  const std::string past = LocalDateTimeText(now - 86400);
  ASSERT_FALSE(future.empty());
  struct Case {
    std::string downloads, end;
    LimitFault fault;
    std::uint64_t limit;
    bool ends;
  };
  const Case cases[] = {
      {"", "", LimitFault::None, 0, false},
      {" 3 ", "", LimitFault::None, 3, false},
      {"999999999", "", LimitFault::None, 999999999, false},
      {"1", future, LimitFault::None, 1, true},
      {"", " " + future + " ", LimitFault::None, 0, true},
      {"0", "", LimitFault::Downloads, 0, false},
      {"-2", "", LimitFault::Downloads, 0, false},
      {"1000000000", "", LimitFault::Downloads, 0, false},
      {"3x", "", LimitFault::Downloads, 0, false},
      {"3", "2026-12-31", LimitFault::EndForm, 0, false},
      {"", "2027-02-29T10:00", LimitFault::EndForm, 0, false},
      {"", "tomorrow", LimitFault::EndForm, 0, false},
      {"", past, LimitFault::EndPassed, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.downloads + "|" + c.end);
    const TypedLimits typed = ReadTypedLimits(c.downloads, c.end, now);
    EXPECT_EQ(typed.fault, c.fault);
    EXPECT_EQ(typed.limits.maxDownloads, c.limit);
    EXPECT_EQ(typed.limits.until != 0, c.ends);
  }
  // The field shows an end time in the form it reads back, to the minute.
  const TypedLimits again = ReadTypedLimits("", future, now);
  EXPECT_EQ(LocalDateTimeText(again.limits.until), future);
}

// Each share's running answers summed; an answer's bytes counted from its start; gone at
// its end. Many threads at once leave the table as it began.
TEST(RunningDownloadsTable, SumsPerShareAndForgetsEndedAnswers) {
  RunningDownloads table;
  int shareA = 0, shareB = 0;
  const auto* a = reinterpret_cast<const Share*>(&shareA);
  const auto* b = reinterpret_cast<const Share*>(&shareB);
  std::atomic<std::int64_t> first{500}, second{0}, third{0};
  {
    RunningDownloads::Entry one(table, a, 1000, first);
    first += 300;
    {
      RunningDownloads::Entry two(table, a, 1000, second);
      RunningDownloads::Entry three(table, b, 100, third);
      second += 2000;  // past its body (the head went through it too): counted up to it
      third += 40;
      const std::vector<RunningDownloads::Progress> rows = table.Snapshot();
      ASSERT_EQ(rows.size(), 2u);
      EXPECT_EQ(rows[0].share, a);
      EXPECT_EQ(rows[0].sent, 1300);
      EXPECT_EQ(rows[0].total, 2000);
      EXPECT_EQ(rows[0].answers, 2);
      EXPECT_EQ(rows[1].sent, 40);
    }
    ASSERT_EQ(table.Snapshot().size(), 1u);
    EXPECT_EQ(table.Snapshot()[0].sent, 300);
  }
  EXPECT_TRUE(table.Snapshot().empty());

  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 500; ++i) {
        std::atomic<std::int64_t> counter{0};
        RunningDownloads::Entry entry(table, a, 10, counter);
        counter += 5;
      }
    });
  }
  go.store(true);
  for (int i = 0; i < 200; ++i) {
    for (const RunningDownloads::Progress& row : table.Snapshot()) EXPECT_LE(row.sent, row.total);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(table.Snapshot().empty());
}

}  // namespace
}  // namespace qc::tests
