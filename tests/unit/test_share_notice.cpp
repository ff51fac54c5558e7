// The words of the notification a Send to gets, and how they are fitted into the room the
// shell gives a notification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/notification_area.h"

namespace qc {
namespace {

using platform::NotifyKind;

TEST(ShareNotice, FitsTheLinesIntoTheRoom) {
  const std::string a(40, 'a');
  const std::string b(40, 'b');
  const std::string c(40, 'c');
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"all fit", {a, b}, 81, a + "\n" + b},
      {"nothing", {}, 10, ""},
      {"one line too many", {a, b, c}, 100, a + "\n" + b + "\n(1 more)"},
      // The count line needs its room too: two whole lines and it would be 90 bytes.
      {"the count line takes a line's place", {a, b, c}, 89, a + "\n(2 more)"},
      {"a first line too long alone", {a, b}, 30, a.substr(0, 18) + "...\n(1 more)"},
      {"one line too long", {a}, 10, a.substr(0, 7) + "..."},
      {"no room even for the count", {a, b}, 5, a.substr(0, 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fitted = FitNoticeLines(c.lines, c.limit);
    EXPECT_EQ(fitted, c.expected);
    EXPECT_LE(fitted.size(), c.limit);
  }
}

TEST(ShareNotice, SaysWhatTheBatchCameTo) {
  const std::string one = "http://192.168.1.10:8080/a.txt";
  const std::string two = "http://192.168.1.10:8080/b.txt";
  struct Case {
    const char* name;
    ShareNotice notice;
    bool told;
    std::string title;
    std::string text;
    NotifyKind kind;
  };
  const Case cases[] = {
      {"nothing copied, nothing failed", {}, false, "", "", NotifyKind::Info},
      {"one link", {{one}, {}}, true, "Link copied", one, NotifyKind::Info},
      {"two links", {{one, two}, {}}, true, "Link copied", one + "\n" + two, NotifyKind::Info},
      {"a failure: its headline and detail, without the empty line between",
       {{}, {"Only files can be shared, not folders\n\nC:\\dir"}},
       true,
       "Share failed",
       "Only files can be shared, not folders\nC:\\dir",
       NotifyKind::Error},
      {"a failure beside a copied link",
       {{one}, {"Unable to copy uri to clipboard"}},
       true,
       "Share failed",
       "Unable to copy uri to clipboard\nLink copied:\n" + one,
       NotifyKind::Error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<NoticeText> text = ComposeShareNotice(c.notice);
    ASSERT_EQ(text.has_value(), c.told);
    if (!text) continue;
    EXPECT_EQ(text->title, c.title);
    EXPECT_EQ(text->text, c.text);
    EXPECT_EQ(text->kind, c.kind);
  }
}

TEST(ShareNotice, ManyLinksStayWithinTheShellsRoom) {
  ShareNotice notice;
  for (int i = 0; i < 20; ++i)
    notice.links.push_back("http://192.168.1.10:8080/file" + std::to_string(i) + ".txt");
  const std::optional<NoticeText> text = ComposeShareNotice(notice);
  ASSERT_TRUE(text.has_value());
  EXPECT_LE(text->text.size(), platform::kNotifyTextLimit);
  EXPECT_EQ(text->text.rfind(notice.links[0], 0), 0u);
  EXPECT_NE(text->text.find(" more)"), std::string::npos);
}

TEST(ShareNotice, TooltipAndMenu) {
  EXPECT_EQ(TrayTooltip(8080), "Quillcast - port 8080");
  EXPECT_EQ(TrayTooltip(65535), "Quillcast - port 65535");
  const std::vector<platform::NotifyMenuItem> menu = TrayMenu();
  ASSERT_EQ(menu.size(), 4u);
  EXPECT_EQ(menu[0].text, "Control panel");
  EXPECT_EQ(menu[1].text, "Copy links of all shares");
  EXPECT_EQ(menu[2].text, "Show QR code of the last link");
  EXPECT_EQ(menu[3].text, "Stop");
  EXPECT_EQ(menu[0].command, kTrayOpenPanel);
  EXPECT_EQ(menu[1].command, kTrayCopyLinks);
  EXPECT_EQ(menu[2].command, kTrayShowCode);
  EXPECT_EQ(menu[3].command, kTrayStop);
  // A click on a notification is no menu line.
  for (const platform::NotifyMenuItem& item : menu) {
    EXPECT_NE(item.command, platform::kNotificationClicked);
  }
}

}  // namespace
}  // namespace qc
