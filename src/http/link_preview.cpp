#include "http/link_preview.h"

#include <string>

namespace qc {

namespace {

enum class Where {
  Anywhere,
  AtStart,  // the value begins with it
};

struct PreviewToken {
  std::string_view token;  // lower case
  Where where;
};

// Every token names a fetcher, never a browser. Apps that open links in a browser of their
// own send that browser's string, at times with the app's name added ("FBAN/FBIOS",
// "Telegram-Android/", "LinkedInApp", "Teams/", "discord/"): those names are the person
// the link was sent to, so none of them is here, and the service tokens below are the
// fetchers' own spellings, not the services' names.
constexpr PreviewToken kPreviewTokens[] = {
    // Slack's unfurler: "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)",
    // also "Slackbot 1.0 (...)".
    {"slackbot", Where::Anywhere},
    // Slack's image proxy, which fetches what a link points at to show it inline.
    {"slack-imgproxy", Where::Anywhere},
    // Microsoft Teams and Skype: a Chrome string followed by "SkypeUriPreview Preview/0.5".
    {"skypeuripreview", Where::Anywhere},
    // Microsoft Teams and Outlook's newer previews: "MicrosoftPreview/2.0".
    {"microsoftpreview", Where::Anywhere},
    // Facebook and Messenger: "facebookexternalhit/1.1
    // (+http://www.facebook.com/externalhit_uatext.php)". iMessage's preview sends a Safari
    // string ending "facebookexternalhit/1.1 Facebot Twitterbot/1.0" and is caught here.
    {"facebookexternalhit", Where::Anywhere},
    // Facebook's crawler, also in iMessage's preview string.
    {"facebot", Where::Anywhere},
    // WhatsApp's preview: "WhatsApp/2.23.20.0 A" (i on iPhones, W on the web). At the start
    // only: a browser string begins "Mozilla/5.0", wherever an app puts its name in it.
    {"whatsapp/", Where::AtStart},
    // Telegram: "TelegramBot (like TwitterBot)".
    {"telegrambot", Where::Anywhere},
    // Discord: "Mozilla/5.0 (compatible; Discordbot/2.0; +https://discordapp.com)".
    {"discordbot", Where::Anywhere},
    // X/Twitter: "Twitterbot/1.0"; also in iMessage's and Telegram's strings.
    {"twitterbot", Where::Anywhere},
    // LinkedIn: "LinkedInBot/1.0 (compatible; Mozilla/5.0; Apache-HttpClient
    // +http://www.linkedin.com)".
    {"linkedinbot", Where::Anywhere},
    // Mattermost's server, which fetches previews for its clients: "Mattermost-Bot/1.1".
    {"mattermost-bot", Where::Anywhere},
    // Generic. A robot's name ends in "bot" before its version ("Googlebot/2.1",
    // "bingbot/2.0", "Applebot/0.1"); a phone whose model contains "bot" ("CUBOT X30",
    // "CUBOT_NOTE_7") never has a "/" right after it.
    {"bot/", Where::Anywhere},
    // Crawlers give the address of a page about themselves as "(+http...)"; browsers never
    // do.
    {"+http", Where::Anywhere},
    // Preview fetchers that say so ("Google Web Preview"); no browser's string carries the
    // word.
    {"preview", Where::Anywhere},
    // Search engines' fetchers: "Baiduspider/2.0", "Sogou web spider".
    {"spider", Where::Anywhere},
    {"crawler", Where::Anywhere},
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool IsLinkPreviewAgent(std::string_view userAgent) {
  // Every request is asked, so the value is lowered once and each token found with the
  // library's search, rather than compared letter by letter at every position.
  std::string lowered(userAgent);
  for (char& c : lowered) c = Lower(c);
  const std::string_view text(lowered);
  for (const PreviewToken& t : kPreviewTokens) {
    if (t.where == Where::AtStart ? text.starts_with(t.token)
                                  : text.find(t.token) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace qc
