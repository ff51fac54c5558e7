#include "cli/options.h"

#include <algorithm>
#include <charconv>

#include "shares/setting_rules.h"
#include "shares/share_url.h"
#include "shares/stored_bytes.h"

namespace qc::cli {

namespace {

// Long options are taken with one dash or two, as both spellings are common on Linux.
std::optional<std::string> OptionName(const std::string& arg) {
  if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') return arg.substr(2);
  if (arg.size() > 1 && arg[0] == '-') return arg.substr(1);
  return std::nullopt;
}

Invocation Make(Action action, std::vector<std::string> operands = {}) {
  Invocation invocation;
  invocation.action = action;
  invocation.operands = std::move(operands);
  return invocation;
}

Invocation Usage(std::string error) {
  Invocation invocation = Make(Action::Usage);
  invocation.error = std::move(error);
  return invocation;
}

// Digits only, no sign, no blank, nothing after them.
std::optional<std::uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text[0] == '+' || text[0] == '-') return std::nullopt;
  return value;
}

std::optional<bool> ParseSwitch(const std::string& text) {
  if (text == "yes" || text == "on" || text == "true" || text == "1") return true;
  if (text == "no" || text == "off" || text == "false" || text == "0") return false;
  return std::nullopt;
}

bool IsControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A value as the user typed it, with its control characters written as \xHH so that the
// message stays on its line.
std::string QuotedPrintable(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (char c : text) {
    if (IsControlCharacter(c)) {
      shown += "\\x";
      shown.push_back(kHex[(c >> 4) & 0x0F]);
      shown.push_back(kHex[c & 0x0F]);
    } else {
      shown.push_back(c);
    }
  }
  return Quoted(shown);
}

// What a setting must be, in the words -config uses.
std::string RuleText(SettingFault fault) {
  switch (fault) {
    case SettingFault::Port:
      return "port must be a number from 1 to 65535";
    case SettingFault::FolderStart:
      return "folder must be empty or begin with \"/\"";
    case SettingFault::FolderCharacter:
      return "folder must not hold a blank, a control character, \"?\", \"#\" or \"@\"";
    case SettingFault::Domain:
      return "domain must be a host name or an IPv4 address, optionally followed by \":\" and a "
             "port from 1 to 65535";
    case SettingFault::DomainIPv6:
      return "domain must not be an IPv6 address: the server listens on IPv4 only";
    case SettingFault::None:
      break;
  }
  return std::string();
}

std::string PercentDecode(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// "one-shot", "withdrawn", both joined by ",", or "-".
std::string ShareMarks(std::uint32_t flags) {
  std::string marks;
  if ((flags & kOneShot) != 0) marks = "one-shot";
  if ((flags & kWithdrawn) != 0) marks += marks.empty() ? "withdrawn" : ",withdrawn";
  return marks.empty() ? "-" : marks;
}

// -qr [-o FILE.png] [-level L|M|Q|H] URL|PATH, the options in any order before the one
// operand ("--" lets an operand that begins with a dash through).
Invocation ParseQr(const std::string& command, const std::vector<std::string>& rest) {
  Invocation invocation = Make(Action::Qr);
  bool operandsOnly = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::optional<std::string> option = operandsOnly ? std::nullopt : OptionName(rest[i]);
    if (rest[i] == "--" && !operandsOnly) {
      operandsOnly = true;
      continue;
    }
    if (!option) {
      invocation.operands.push_back(rest[i]);
      continue;
    }
    if (*option != "o" && *option != "level") {
      return Usage("unknown option " + Quoted(rest[i]) + " for " + command +
                   " (options: -o FILE.png, -level L|M|Q|H)");
    }
    if (i + 1 == rest.size()) {
      return Usage(rest[i] + (*option == "o" ? " needs the name of the PNG file to write"
                                             : " needs the error correction level: L, M, Q or H"));
    }
    const std::string& value = rest[++i];
    if (*option == "o") {
      invocation.pngFile = value;
    } else if (const std::optional<QrLevel> level = QrLevelFromLetter(value)) {
      invocation.qrLevel = *level;
    } else {
      return Usage(
          "the error correction level must be L, M, Q or H (7, 15, 25 or 30 % of the "
          "code may be lost), not " +
          Quoted(value));
    }
  }
  if (invocation.operands.empty()) {
    return Usage(command + " needs the link (http://...) or the file whose link to show");
  }
  if (invocation.operands.size() > 1) {
    return Usage(command + " shows one link, but got also " + Quoted(invocation.operands[1]));
  }
  return invocation;
}

}  // namespace

std::string FolderRefusalText(std::string_view reason, const std::string& folder) {
  return std::string(reason) + ": " + folder + " (quillcast --yes shares it all the same)";
}

Invocation ParseArguments(const std::vector<std::string>& args) {
  if (args.empty()) return Make(Action::Serve);
  const std::optional<std::string> first = OptionName(args[0]);
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (first && (*first == "limit" || *first == "until")) {
    if (rest.empty()) {
      return Usage(args[0] + (*first == "limit" ? " needs the number of completed downloads"
                                                : " needs the date and time, as 2026-12-31T18:00"));
    }
    const std::string& value = rest[0];
    std::uint64_t limit = 0;
    std::optional<LocalDateTime> until;
    if (*first == "limit") {
      const std::optional<std::uint64_t> n = ParseDownloadLimit(value);
      if (!n) {
        return Usage(args[0] + " needs a whole number of downloads from 1 on, not " +
                     Quoted(value));
      }
      limit = *n;
    } else {
      until = ParseLocalDateTime(value);
      if (!until) {
        return Usage(args[0] + " needs a local date and time such as 2026-12-31T18:00, not " +
                     Quoted(value));
      }
    }
    if (rest.size() == 1)
      return Usage(args[0] + " " + value + " must be followed by the files to share");
    Invocation invocation = ParseArguments(std::vector<std::string>(rest.begin() + 1, rest.end()));
    if (invocation.action != Action::Share) {
      if (invocation.action == Action::Usage) return invocation;
      return Usage(args[0] + " goes before the files and folders to share");
    }
    if ((limit != 0 && invocation.limit != 0) || (until && invocation.until)) {
      return Usage(args[0] + " is given twice");
    }
    if (limit != 0) invocation.limit = limit;
    if (until) invocation.until = until;
    return invocation;
  }
  if (first && (*first == "yes" || *first == "y")) {
    // What follows is what to share, taken as without the option.
    Invocation invocation = ParseArguments(rest);
    if (invocation.action != Action::Share) {
      if (invocation.action == Action::Usage) return invocation;
      return Usage(args[0] + " goes before the files and folders to share");
    }
    invocation.confirmed = true;
    return invocation;
  }
  if (!first || args[0] == "--") {
    // Files. Only "--" lets a name that begins with a dash through.
    std::vector<std::string> files = first ? rest : args;
    if (files.empty()) return Usage("\"--\" must be followed by the files to share");
    if (!first) {
      for (const std::string& file : files) {
        if (OptionName(file)) {
          return Usage(
              "options go before the files: " + Quoted(file) +
              " (write \"--\" before the files to share one whose name begins with \"-\")");
        }
      }
    }
    return Make(Action::Share, std::move(files));
  }
  const std::string& name = *first;
  auto alone = [&](Action action) {
    if (!rest.empty()) return Usage(args[0] + " takes no arguments, but got " + Quoted(rest[0]));
    return Make(action);
  };
  if (name == "h" || name == "help") return Make(Action::Help);
  if (name == "version") return alone(Action::Version);
  if (name == "stop") return alone(Action::Stop);
  if (name == "list") return alone(Action::List);
  if (name == "quiet" || name == "q") {
    Invocation invocation = alone(Action::Serve);
    invocation.quiet = invocation.action == Action::Serve;
    return invocation;
  }
  if (name == "unshare") {
    if (rest.empty()) return Usage(args[0] + " needs the URL or the path of the share to remove");
    return Make(Action::Unshare, rest);
  }
  if (name == "config") return Make(Action::Config, rest);
  if (name == "qr") return ParseQr(args[0], rest);
  if (name == "ui") {
    return Usage(
        "the control panel exists only in the Windows build; use -list, -unshare and -config");
  }
  return Usage("unknown option " + Quoted(args[0]));
}

std::string UsageText() {
  return "Usage: quillcast [-quiet]              run the server in the current directory\n"
         "       quillcast [--yes] FILE|FOLDER...\n"
         "                                       share files and folders (each folder as one\n"
         "                                       .zip) and print their URLs; --yes: also a\n"
         "                                       drive's root or the folder holding your home\n"
         "       quillcast [-limit N] [-until 2026-12-31T18:00] [--yes] FILE|FOLDER...\n"
         "                                       the same, each share ending after N completed\n"
         "                                       downloads or at that local time\n"
         "       quillcast -list                 list the shares and their downloads\n"
         "       quillcast -unshare URL|PATH...  remove shares\n"
         "       quillcast -config [KEY=VALUE...]  show or change the settings\n"
         "       quillcast -stop                 stop the server\n"
         "       quillcast -qr [-o FILE.png] [-level L|M|Q|H] URL|FILE\n"
         "                                       show a link, or a file's (shared first if\n"
         "                                       need be), as a QR code for a phone\n"
         "       quillcast --help | --version\n"
         "\n"
         "Settings: port=1..65535 (taken at the next start), domain=TEXT (host in URLs),\n"
         "host=0|N (0: the domain; N: this machine's Nth IPv4 address), folder=TEXT (virtual\n"
         "folder of new shares), oneshot=yes|no (new shares end after one full download),\n"
         "copyurl=yes|no (the server also prints each new URL), limit=N and\n"
         "lifetime=90m|24h|7d (new shares end after N downloads or that long, unless\n"
         "-limit or -until says otherwise; 0: none).\n"
         "\n"
         "The host in links: the domain when host=0 and a domain is set; else the Nth of the\n"
         "addresses \"quillcast -config\" lists (host=N); else the address this machine\n"
         "reaches other networks from (its default route's); else the first listed address;\n"
         "else 127.0.0.1. The list holds the IPv4 addresses of the interfaces that are up,\n"
         "the default route's first, loopback and 169.254.x.x only when there is no other.\n"
         "\n"
         "Exit status: 0 done, 1 failed, 2 usage error. See quillcast(1).\n";
}

namespace {
constexpr std::string_view kKeys = "port, domain, folder, host, oneshot, copyurl, limit, lifetime";
}  // namespace

std::string ParseSettingChanges(const std::vector<std::string>& pairs, SettingChanges& changes) {
  changes = SettingChanges{};
  std::vector<std::string> seen;
  for (const std::string& pair : pairs) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos) {
      return Quoted(pair) + " is not key=value (keys: " + std::string(kKeys) + ")";
    }
    const std::string key = pair.substr(0, equals);
    const std::string value = pair.substr(equals + 1);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return key + " is given twice";
    seen.push_back(key);
    if (key == "port") {
      const std::optional<std::uint32_t> n = ParseNumber(value);
      if (!n || CheckPort(*n) != SettingFault::None)
        return RuleText(SettingFault::Port) + ", not " + Quoted(value);
      changes.port = static_cast<std::uint16_t>(*n);
    } else if (key == "host") {
      const std::optional<std::uint32_t> n = ParseNumber(value);
      if (!n || *n > 65535) {
        return "host must be 0 (use the domain) or the number N of this machine's Nth address, "
               "not " +
               Quoted(value);
      }
      changes.host = static_cast<std::uint16_t>(*n);
    } else if (key == "domain" || key == "folder") {
      if (value.size() > kMaxStoredText) return key + " is longer than 65535 bytes";
      const SettingFault fault = key == "domain" ? CheckDomain(value) : CheckFolder(value);
      if (fault != SettingFault::None) return RuleText(fault) + ", not " + QuotedPrintable(value);
      (key == "domain" ? changes.domain : changes.folder) = value;
    } else if (key == "oneshot" || key == "copyurl") {
      const std::optional<bool> on = ParseSwitch(value);
      if (!on) return key + " must be yes or no, not " + Quoted(value);
      (key == "oneshot" ? changes.oneShot : changes.copyUrl) = *on;
    } else if (key == "limit") {
      const std::optional<std::uint64_t> n = ParseDefaultDownloads(value);
      if (!n) {
        return "limit must be the number of completed downloads new shares end after, 0 or "
               "empty for none, not " +
               QuotedPrintable(value);
      }
      changes.limit = *n;
    } else if (key == "lifetime") {
      const std::optional<std::int64_t> seconds = ParseLifetime(value);
      if (!seconds) {
        return "lifetime must be how long new shares live, a whole number of minutes, hours "
               "or days such as 90m, 24h or 7d (at most " +
               LifetimeText(kMaxShareLifetime) + "), 0 or empty for none, not " +
               QuotedPrintable(value);
      }
      changes.lifetime = *seconds;
    } else {
      return "unknown setting " + Quoted(key) + " (keys: " + std::string(kKeys) + ")";
    }
  }
  return std::string();
}

void ApplySettingChanges(const SettingChanges& changes, ServerSettings& settings) {
  if (changes.port) settings.port = *changes.port;
  if (changes.host) settings.hostChoice = *changes.host;
  if (changes.domain) settings.domain = *changes.domain;
  if (changes.folder) settings.defaultFolder = *changes.folder;
  auto setFlag = [&](const std::optional<bool>& on, std::uint16_t bit) {
    if (!on) return;
    settings.flags =
        static_cast<std::uint16_t>(*on ? (settings.flags | bit) : (settings.flags & ~bit));
  };
  setFlag(changes.oneShot, kNewSharesOneShot);
  setFlag(changes.copyUrl, kCopyUrlAfterShare);
}

void ApplySettingChanges(const SettingChanges& changes, ShareDefaults& defaults) {
  if (changes.limit) defaults.maxDownloads = *changes.limit;
  if (changes.lifetime) defaults.lifetime = *changes.lifetime;
}

std::string FormatSettings(const ServerSettings& settings, const ShareDefaults& defaults) {
  auto yesNo = [&](std::uint16_t bit) { return (settings.flags & bit) != 0 ? "yes" : "no"; };
  return "port=" + std::to_string(settings.port) + "\n" +
         "host=" + std::to_string(settings.hostChoice) + "\n" + "domain=" + settings.domain + "\n" +
         "folder=" + settings.defaultFolder + "\n" + "oneshot=" + yesNo(kNewSharesOneShot) + "\n" +
         "copyurl=" + yesNo(kCopyUrlAfterShare) + "\n" +
         "limit=" + std::to_string(defaults.maxDownloads) + "\n" +
         "lifetime=" + LifetimeText(defaults.lifetime) + "\n";
}

std::string FormatShareLine(const std::string& url, const std::string& physicalPath,
                            std::uint32_t flags) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string path;
  for (char c : physicalPath) {
    if (c == '\t') {
      path += "\\t";
    } else if (c == '\n') {
      path += "\\n";
    } else if (c == '\\') {
      path += "\\\\";
    } else if (IsControlCharacter(c)) {
      path += "\\x";
      path.push_back(kHex[c >> 4]);  // a control character: 0x00-0x1F or 0x7F
      path.push_back(kHex[c & 0x0F]);
    } else {
      path.push_back(c);
    }
  }
  return url + "\t" + path + "\t" + ShareMarks(flags);
}

std::string FormatShareLine(const std::string& url, const std::string& physicalPath,
                            std::uint32_t flags, const DownloadTally& tally,
                            const ShareLimits& limits,
                            const std::function<std::string(std::int64_t)>& localTime) {
  std::string line = FormatShareLine(url, physicalPath, flags);
  // Each field appended on its own: gcc 12 at -O3 takes "\t" + a temporary string for an
  // overlapping copy and fails the build (-Werror=restrict).
  const auto field = [&line](const std::string& text) {
    line += '\t';
    line += text;
  };
  field(std::to_string(tally.completed));
  if (tally.completed == 0) {
    field("-");
    field("-");
  } else {
    field(localTime(tally.lastTime));
    const std::uint32_t a = tally.lastAddress;
    field(a == 0 ? std::string("-")
                 : std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
                       std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF));
  }
  field(limits.maxDownloads != 0 ? std::to_string(limits.maxDownloads) : std::string("-"));
  field(limits.until != 0 ? localTime(limits.until) : std::string("-"));
  return line;
}

bool LooksLikeLink(const std::string& operand) {
  const std::size_t mark = operand.find("://");
  if (mark == std::string::npos || mark == 0) return false;
  return std::all_of(operand.begin(), operand.begin() + static_cast<std::ptrdiff_t>(mark),
                     [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
                     });
}

namespace {

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The length of the UTF-8 sequence that starts at `at`, or 0 when none does.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t smallest = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if (code < smallest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string CheckQrLink(const std::string& link) {
  std::size_t hostStart = 0;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (StartsWithNoCase(link, scheme)) hostStart = scheme.size();
  }
  if (hostStart == 0)
    return "a link must begin with http:// or https://, not " + QuotedPrintable(link);
  for (std::size_t i = 0; i < link.size();) {
    const auto byte = static_cast<unsigned char>(link[i]);
    if (byte <= 0x20 || byte == 0x7F) {
      return "the link holds " + std::string(byte == 0x20 ? "a blank" : "a control character") +
             " at byte " + std::to_string(i + 1) + " (write it as %" +
             "0123456789ABCDEF"[byte >> 4] + "0123456789ABCDEF"[byte & 0x0F] +
             "): " + QuotedPrintable(link);
    }
    const std::size_t length = Utf8SequenceLength(link, i);
    if (length == 0) {
      return "the link is not UTF-8 at byte " + std::to_string(i + 1) + ": " +
             QuotedPrintable(link);
    }
    i += length;
  }
  const std::size_t hostEnd = link.find_first_of("/?#", hostStart);
  if (hostEnd == hostStart || hostStart == link.size()) {
    return "the link has no host: " + QuotedPrintable(link);
  }
  return std::string();
}

bool ShareMatches(const std::string& argument, const Share& share, const std::string& url) {
  if (argument == url || argument == share.physicalPath || argument == share.virtualPath)
    return true;
  const std::string escaped = EscapeUrlPath(share.virtualPath);
  if (argument == escaped) return true;
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix(scheme);
    if (argument.compare(0, prefix.size(), prefix) != 0) continue;
    // Another name of this host (127.0.0.1, another address) names the same share.
    const std::size_t slash = argument.find('/', prefix.size());
    const std::string path = slash == std::string::npos ? std::string() : argument.substr(slash);
    return path == escaped || PercentDecode(path) == share.virtualPath;
  }
  return false;
}

}  // namespace qc::cli
