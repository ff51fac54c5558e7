// Which User-Agents count as link previews: every service's own string, and never a
// browser's, an in-app browser's or a download tool's.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

#include "http/link_preview.h"

namespace qc {
namespace {

struct AgentCase {
  const char* who;
  std::string_view agent;
  bool preview;
};

void PrintTo(const AgentCase& c, std::ostream* os) { *os << c.who; }

// The row's name as a test name: its letters and digits.
std::string RowName(const ::testing::TestParamInfo<AgentCase>& info) {
  std::string name;
  for (const char* p = info.param.who; *p != '\0'; ++p) {
    if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
  }
  return name;
}

class LinkPreviewTable : public ::testing::TestWithParam<AgentCase> {};

TEST_P(LinkPreviewTable, Classifies) {
  EXPECT_EQ(IsLinkPreviewAgent(GetParam().agent), GetParam().preview) << GetParam().agent;
}

const AgentCase kPreviews[] = {
    {"Slack", "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)", true},
    {"Slack image proxy", "Slack-ImgProxy (+https://api.slack.com/robots)", true},
    {"Teams and Skype",
     "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/41.0.2272.118 Safari/537.36 SkypeUriPreview Preview/0.5 "
     "skype-url-preview@microsoft.com",
     true},
    {"Microsoft preview", "Mozilla/5.0 (Windows NT 10.0; Win64; x64) MicrosoftPreview/2.0", true},
    {"Facebook and Messenger",
     "facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)", true},
    {"Facebook crawler", "Facebot", true},
    {"iMessage",
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_11_1) AppleWebKit/601.2.4 (KHTML, like Gecko) "
     "Version/9.0.1 Safari/601.2.4 facebookexternalhit/1.1 Facebot Twitterbot/1.0",
     true},
    {"WhatsApp Android", "WhatsApp/2.23.20.0 A", true},
    {"WhatsApp iPhone", "WhatsApp/2.23.20.0 i", true},
    {"Telegram", "TelegramBot (like TwitterBot)", true},
    {"Discord", "Mozilla/5.0 (compatible; Discordbot/2.0; +https://discordapp.com)", true},
    {"X/Twitter", "Twitterbot/1.0", true},
    {"LinkedIn",
     "LinkedInBot/1.0 (compatible; Mozilla/5.0; Apache-HttpClient +http://www.linkedin.com)", true},
    {"Mattermost", "Mattermost-Bot/1.1", true},
    {"Google crawler", "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
     true},
    {"Bing crawler", "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)",
     true},
    {"Google Web Preview",
     "Mozilla/5.0 (en-us) AppleWebKit/534.14 (KHTML, like Gecko; Google Web Preview) "
     "Chrome/9.0.597 Safari/534.14",
     true},
    {"Baidu", "Mozilla/5.0 (compatible; Baiduspider/2.0; +http://www.baidu.com/search/spider.html)",
     true},
    {"Matrix server", "Synapse (bot; +https://github.com/matrix-org/synapse)", true},
    {"upper case", "SLACKBOT-LINKEXPANDING 1.0", true},
};
INSTANTIATE_TEST_SUITE_P(Preview, LinkPreviewTable, ::testing::ValuesIn(kPreviews), RowName);

const AgentCase kPeople[] = {
    {"Chrome desktop",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.0.0 Safari/537.36",
     false},
    {"Chrome Android",
     "Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 "
     "Mobile Safari/537.36",
     false},
    {"Firefox desktop",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:125.0) Gecko/20100101 Firefox/125.0", false},
    {"Firefox Android", "Mozilla/5.0 (Android 14; Mobile; rv:125.0) Gecko/125.0 Firefox/125.0",
     false},
    {"Safari macOS",
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.4 Safari/605.1.15",
     false},
    {"Safari iPhone",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) Version/17.4 Mobile/15E148 Safari/604.1",
     false},
    {"Edge",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.0.0 Safari/537.36 Edg/124.0.2478.51",
     false},
    {"Android phone CUBOT",
     "Mozilla/5.0 (Linux; Android 10; CUBOT X30) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.6367.82 Mobile Safari/537.36",
     false},
    {"Android phone CUBOT build",
     "Mozilla/5.0 (Linux; Android 9; CUBOT_NOTE_7 Build/PPR1.180610.011) AppleWebKit/537.36 "
     "(KHTML, "
     "like Gecko) Chrome/110.0.5481.153 Mobile Safari/537.36",
     false},
    {"Samsung Internet",
     "Mozilla/5.0 (Linux; Android 14; SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
     "SamsungBrowser/24.0 Chrome/117.0.0.0 Mobile Safari/537.36",
     false},
    {"Facebook in-app browser",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) Mobile/15E148 [FBAN/FBIOS;FBAV/460.0.0.36.105;FBBV/590429498;FBDV/iPhone15,2]",
     false},
    {"Telegram in-app browser",
     "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.0.0 Mobile Safari/537.36 Telegram-Android/10.12.0 (Google Pixel 8; Android 14; "
     "SDK 34; HIGH)",
     false},
    {"LinkedIn in-app browser",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) Mobile/15E148 [LinkedInApp]/9.29.6",
     false},
    {"Teams desktop client",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Teams/1.6.00.4472 Chrome/98.0.4758.141 Electron/17.4.11 Safari/537.36",
     false},
    {"Discord desktop client",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "discord/1.0.9147 Chrome/120.0.6099.291 Electron/28.2.10 Safari/537.36",
     false},
    {"Instagram in-app browser",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) Mobile/15E148 Instagram 330.0.3.12.104 (iPhone15,2; iOS 17_4; en_US)",
     false},
    {"curl", "curl/8.5.0", false},
    {"Wget", "Wget/1.21.4", false},
    {"aria2", "aria2/1.37.0", false},
    {"Python", "python-requests/2.32.3", false},
    {"none", "", false},
};
INSTANTIATE_TEST_SUITE_P(Person, LinkPreviewTable, ::testing::ValuesIn(kPeople), RowName);

}  // namespace
}  // namespace qc
