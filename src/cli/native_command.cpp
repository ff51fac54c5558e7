#include "cli/native_command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>

#include "app/control.h"
#include "app/messages.h"
#include "app/server.h"
#include "cli/options.h"
#include "cli/qr_output.h"
#include "cli/request_log.h"
#include "platform/directory.h"
#include "platform/host_addresses.h"
#include "platform/runtime_directory.h"
#include "platform/socket.h"
#include "quillcast_version.h"
#include "shares/downloads_file.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
#include "shares/qr_code.h"
#include "shares/share_file.h"
#include "shares/share_url.h"

namespace qc::cli {

namespace {

// How long a command waits for the server's answer. The server answers between its other
// requests on one thread; a healthy one answers in milliseconds.
constexpr int kAnswerTimeoutMs = 30000;
// How long -stop waits for the server to have ended.
constexpr auto kStopWait = std::chrono::seconds(30);

// One write per text, so that a line never mixes with another thread's.
void Write(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void Error(const std::string& text) { Write(stderr, "quillcast: " + text + "\n"); }

void Print(const std::string& text) { Write(stdout, text); }

// Says what an exchange that brought no answer means, in the user's terms. Returns the
// exit status.
int ReportNoAnswer(ExchangeResult result) {
  switch (result) {
    case ExchangeResult::NotRunning:
      Error("no server is running (start one with: quillcast)");
      break;
    case ExchangeResult::NoAnswer:
    case ExchangeResult::BadAnswer:
      Error(
          "the running server does not understand this request; it is probably an older "
          "quillcast. Stop it with \"quillcast -stop\" and start this version");
      break;
    case ExchangeResult::TimedOut:
      Error("the server did not answer within " + std::to_string(kAnswerTimeoutMs / 1000) + " s");
      break;
    case ExchangeResult::Answered:
      break;
  }
  return kExitFailed;
}

// Prints a reply's message (failed or unsupported) and returns the exit status.
int ReportRefusal(const ControlReply& reply) {
  Error(reply.fields.empty() ? std::string("the server refused the request") : reply.fields[0]);
  return kExitFailed;
}

// --- sharing ------------------------------------------------------------------------------

// Why `path` cannot be shared, or empty.
std::string CannotShare(const std::string& path) {
  // The server refuses it as well; a NUL cannot even reach here from a command line.
  if (HoldsControlCharacter(path)) return "the name holds a control character";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return "not a regular file or folder";
  return std::string();
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  return (std::filesystem::path(platform::CurrentDirectory()) / path).lexically_normal().string();
}

// A Unix time as the user's clock shows it, as the request log writes its times.
std::string LocalTimeOf(std::int64_t seconds) {
  const auto when = static_cast<std::time_t>(seconds);
  std::tm local;
  if (::localtime_r(&when, &local) == nullptr) return std::to_string(seconds);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  return text;
}

enum class ShareOutcome {
  Shared,
  SharedWithWarning,  // served, but something went wrong beside (the list not stored)
  Refused,
  NoServer,  // no server, or none that answers: nothing more can be shared
};

// Shares one file through the running server, as "quillcast FILE" does; `url` gets the
// share's link when there is one. Says what went wrong on standard error.
ShareOutcome ShareFile(const std::string& file, std::optional<std::string>& url,
                       bool confirmed = false, const std::vector<std::string>& limits = {}) {
  const std::string why = CannotShare(file);
  if (!why.empty()) {
    Error(std::string("cannot share ").append(messages::Printable(file)).append(": ").append(why));
    return ShareOutcome::Refused;
  }
  // A whole drive or profile is asked about here, where --yes can answer; the server asks
  // again of a request that does not carry the answer.
  std::vector<std::string> fields{file};
  if (platform::KindOfPath(file) == platform::PathKind::Folder) {
    const std::string folder = WithoutTrailingSeparators(file);
    const messages::Message* refusal = messages::FolderRefusal(FolderShareRiskOfPath(folder));
    if (refusal != nullptr && !confirmed) {
      Error(FolderRefusalText(refusal->text, messages::Printable(folder)));
      return ShareOutcome::Refused;
    }
    if (refusal != nullptr) fields.push_back(kFolderConfirmed);
  }
  fields.insert(fields.end(), limits.begin(), limits.end());
  ControlReply reply;
  const ExchangeResult result =
      ExchangeCommand(CommandType::Share, fields, reply, kAnswerTimeoutMs);
  if (result != ExchangeResult::Answered) {
    ReportNoAnswer(result);
    return ShareOutcome::NoServer;
  }
  if (reply.status != ReplyStatus::Ok || reply.fields.empty()) {
    ReportRefusal(reply);
    return ShareOutcome::Refused;
  }
  url = reply.fields[0];
  if (reply.fields.size() > 1 && !reply.fields[1].empty()) {
    Error(reply.fields[1]);
    return ShareOutcome::SharedWithWarning;
  }
  return ShareOutcome::Shared;
}

// -until's moment in Unix seconds, by the user's clock (its rules for that day); none for a
// time the clock skips or cannot write.
std::optional<std::int64_t> UnixTimeOf(const LocalDateTime& local) {
  std::tm tm{};
  tm.tm_year = local.year - 1900;
  tm.tm_mon = local.month - 1;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

int ShareFiles(const Invocation& invocation) {
  const std::vector<std::string>& operands = invocation.operands;
  const bool confirmed = invocation.confirmed;
  std::vector<std::string> limits;
  if (invocation.limit != 0) limits.push_back(kLimitField + std::to_string(invocation.limit));
  if (invocation.until) {
    const std::optional<std::int64_t> until = UnixTimeOf(*invocation.until);
    if (!until) {
      Error("-until: this machine's clock cannot write that time");
      return kExitUsage;
    }
    if (*until <= static_cast<std::int64_t>(std::time(nullptr))) {
      Error("-until: " + LocalTimeOf(*until) + " has passed already; the share would end at once");
      return kExitUsage;
    }
    limits.push_back(kUntilField + std::to_string(*until));
  }
  std::vector<std::string> files;
  files.reserve(operands.size());
  for (const std::string& operand : operands) files.push_back(Absolute(operand));
  // A name with blanks typed without quotes arrives in pieces; when the pieces are not
  // files but the whole is, the whole is meant.
  if (files.size() > 1) {
    bool allFiles = true;
    for (const std::string& file : files) allFiles = allFiles && CannotShare(file).empty();
    std::string joined;
    for (const std::string& operand : operands) {
      if (!joined.empty()) joined += ' ';
      joined += operand;
    }
    if (!allFiles && CannotShare(Absolute(joined)).empty()) files = {Absolute(joined)};
  }
  int status = kExitOk;
  for (const std::string& file : files) {
    std::optional<std::string> url;
    const ShareOutcome outcome = ShareFile(file, url, confirmed, limits);
    if (url) Print(*url + "\n");
    if (outcome == ShareOutcome::NoServer) return kExitFailed;
    if (outcome != ShareOutcome::Shared) status = kExitFailed;
  }
  return status;
}

// --- the list and unsharing without a server ----------------------------------------------

// Without a server the command works on the files of its own current directory, the ones
// a server started there would use.
StoredFiles FilesHere() { return StoredFiles::In(platform::CurrentDirectory()); }

// False when the file is missing or unreadable (the defaults, with the default port, then).
bool LoadSettingsOrDefaults(const StoredFiles& files, ServerSettings& settings) {
  if (LoadSettings(files, settings) != 0) return true;
  settings.port = kDefaultPort;
  return false;
}

int ListShares(const platform::Services& services) {
  ControlReply reply;
  const ExchangeResult result = ExchangeCommand(CommandType::List, {}, reply, kAnswerTimeoutMs);
  if (result == ExchangeResult::Answered) {
    if (reply.status != ReplyStatus::Ok) return ReportRefusal(reply);
    if (reply.fields.size() % kListFieldsPerShare != 0)
      return ReportNoAnswer(ExchangeResult::BadAnswer);
    const auto number = [&reply](std::size_t i) {
      return std::strtoull(reply.fields[i].c_str(), nullptr, 10);
    };
    std::string out;
    for (std::size_t i = 0; i < reply.fields.size(); i += kListFieldsPerShare) {
      const DownloadTally tally{number(i + 3), static_cast<std::int64_t>(number(i + 4)),
                                static_cast<std::uint32_t>(number(i + 5))};
      const ShareLimits limits{number(i + 6), static_cast<std::int64_t>(number(i + 7))};
      out +=
          FormatShareLine(reply.fields[i], reply.fields[i + 1],
                          static_cast<std::uint32_t>(number(i + 2)), tally, limits, LocalTimeOf) +
          "\n";
    }
    Print(out);
    return kExitOk;
  }
  if (result != ExchangeResult::NotRunning) return ReportNoAnswer(result);

  const StoredFiles files = FilesHere();
  const std::string file = files.Shares();
  ShareRegistry shares;
  ShareFileDamage damage;
  if (LoadShares(files, shares, &damage) == 0) {
    Error("no server is running, and there is no " + file + " to list");
    return kExitOk;
  }
  if (damage.found) messages::ShowShareFileDamage(services.messages, damage.keptAs);
  LoadDownloads(files, shares);
  Error("no server is running; the shares in " + file + ":");
  ServerSettings settings;
  LoadSettingsOrDefaults(files, settings);
  const std::optional<std::string> host = UrlHost(settings, services.addresses);
  std::string out;
  for (const SharePtr& share : shares.Snapshot()) {
    out += FormatShareLine(ShareUrlOrPath(host, settings.port, *share), share->physicalPath,
                           share->flags.load(), share->Tally(), share->Limits(), LocalTimeOf) +
           "\n";
  }
  Print(out);
  return kExitOk;
}

// The names the server tries for an -unshare argument: as typed, and, for a relative file
// name, the absolute path it stands for (a URL or a virtual path means itself).
std::vector<std::string> UnshareNames(const std::string& operand) {
  const bool url = operand.rfind("http://", 0) == 0 || operand.rfind("https://", 0) == 0;
  if (url || Absolute(operand) == operand) return {operand};
  return {operand, Absolute(operand)};
}

int UnshareWithoutServer(const platform::Services& services,
                         const std::vector<std::string>& arguments) {
  const StoredFiles files = FilesHere();
  const std::string file = files.Shares();
  ShareRegistry shares;
  ShareFileDamage damage;
  if (LoadShares(files, shares, &damage) == 0) {
    Error("no server is running, and there is no " + file + " to remove shares from");
    return kExitFailed;
  }
  if (damage.found) messages::ShowShareFileDamage(services.messages, damage.keptAs);
  LoadDownloads(files, shares);
  ServerSettings settings;
  LoadSettingsOrDefaults(files, settings);
  const std::optional<std::string> host = UrlHost(settings, services.addresses);
  int status = kExitOk;
  std::vector<std::string> removed;
  for (const std::string& argument : arguments) {
    const std::vector<std::string> gone =
        RemoveMatchingShares(shares, host, settings.port, UnshareNames(argument));
    if (gone.empty()) {
      Error(std::string("no share matches \"").append(argument).append("\" in ").append(file));
      status = kExitFailed;
    }
    removed.insert(removed.end(), gone.begin(), gone.end());
  }
  if (removed.empty()) return status;
  if (RewriteShareFile(files, shares) == ShareFileWrite::Failed) {
    messages::Show(services.messages, messages::kCantWriteShareFile);
    return kExitFailed;
  }
  // The removed shares' counts go too; a failure costs only stale counts for their paths.
  (void)StoreDownloads(files, shares);
  Error("no server is running; removed from " + file + ":");
  std::string out;
  for (const std::string& url : removed) out += url + "\n";
  Print(out);
  return status;
}

int Unshare(const platform::Services& services, const std::vector<std::string>& operands) {
  int status = kExitOk;
  std::string out;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    ControlReply reply;
    const ExchangeResult result =
        ExchangeCommand(CommandType::Unshare, UnshareNames(operands[i]), reply, kAnswerTimeoutMs);
    if (result == ExchangeResult::NotRunning && i == 0)
      return UnshareWithoutServer(services, operands);
    if (result != ExchangeResult::Answered) return ReportNoAnswer(result);
    if (reply.status != ReplyStatus::Ok) {
      status = ReportRefusal(reply);
      continue;
    }
    for (const std::string& url : reply.fields) out += url + "\n";
  }
  Print(out);
  return status;
}

// --- settings ----------------------------------------------------------------------------

// The host key names an address of this machine; one it does not have is a usage error.
std::string CheckHostChoice(const platform::AddressLookup& lookup, const SettingChanges& changes) {
  if (!changes.host || *changes.host == 0) return std::string();
  const std::optional<std::vector<std::string>> addresses = platform::HostIPv4Addresses(lookup);
  const std::size_t count = addresses ? addresses->size() : 0;
  if (*changes.host > count) {
    return "host=" + std::to_string(*changes.host) + ": this machine has " + std::to_string(count) +
           " IPv4 address" + (count == 1 ? "" : "es") + " (host=0 uses the domain)";
  }
  return std::string();
}

int Configure(const platform::Services& services, const std::vector<std::string>& pairs) {
  SettingChanges changes;
  std::string wrong = ParseSettingChanges(pairs, changes);
  if (wrong.empty()) wrong = CheckHostChoice(services.addresses, changes);
  if (!wrong.empty()) {
    Error("-config: " + wrong + "; nothing was changed");
    return kExitUsage;
  }
  ControlReply reply;
  const ExchangeResult result =
      ExchangeCommand(CommandType::Config, pairs, reply, kAnswerTimeoutMs);
  if (result == ExchangeResult::Answered) {
    if (reply.status != ReplyStatus::Ok || reply.fields.empty()) return ReportRefusal(reply);
    Print(reply.fields[0]);
    if (reply.fields.size() > 1 && !reply.fields[1].empty()) Error(reply.fields[1]);
    return kExitOk;
  }
  if (result != ExchangeResult::NotRunning) return ReportNoAnswer(result);

  const StoredFiles files = FilesHere();
  const std::string file = files.Settings();
  ServerSettings settings;
  const bool loaded = LoadSettingsOrDefaults(files, settings);
  if (!changes.Empty()) {
    ApplySettingChanges(changes, settings);
    platform::FileError error;
    if (SaveSettings(files, settings, &error) == 0) {
      Error("cannot write " + file + ": " + std::strerror(error.code));
      return kExitFailed;
    }
    Error("no server is running; wrote " + file + " (taken at the next start)");
  } else if (loaded) {
    Error("no server is running; the settings in " + file + ":");
  } else {
    Error("no server is running, and " + file + " is missing or unreadable; the defaults:");
  }
  Print(FormatSettings(settings) +
        (pairs.empty() ? FormatHostReport(settings, services.addresses) : std::string()));
  return kExitOk;
}

// --- stop ---------------------------------------------------------------------------------

// True once no server holds the instance lock.
bool ServerGone() {
  std::optional<std::string> dir = platform::RuntimeDirectory();
  if (!dir) return true;
  const std::string path = *dir + "/QuillcastOneCopyAtTime.lock";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return true;
  const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);  // releases the probe at once, so a new server is not held up
  return free;
}

int Stop() {
  if (platform::SendControlRequest(platform::ControlRequest::Stop) !=
      platform::ControlSend::Delivered) {
    return ReportNoAnswer(ExchangeResult::NotRunning);
  }
  // Returns once the server has ended, so that "quillcast -stop && quillcast" restarts.
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  while (!ServerGone()) {
    if (std::chrono::steady_clock::now() > deadline) {
      Error("the server was asked to stop but is still running after " +
            std::to_string(kStopWait.count()) + " s");
      return kExitFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return kExitOk;
}

// --- QR codes -----------------------------------------------------------------------------

// The link of the running server's published share of `file`, if it has one.
std::optional<std::string> PublishedLinkOf(const std::string& file, ExchangeResult& result) {
  ControlReply reply;
  result = ExchangeCommand(CommandType::List, {}, reply, kAnswerTimeoutMs);
  if (result != ExchangeResult::Answered || reply.status != ReplyStatus::Ok) return std::nullopt;
  for (std::size_t i = 0; i + 2 < reply.fields.size(); i += kListFieldsPerShare) {
    const auto flags =
        static_cast<std::uint32_t>(std::strtoul(reply.fields[i + 2].c_str(), nullptr, 10));
    if (reply.fields[i + 1] == file && (flags & kWithdrawn) == 0) return reply.fields[i];
  }
  return std::nullopt;
}

// 0 once `bytes` are the whole file at `path`, else the system's error.
int WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return errno;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  int error = written ? 0 : errno;
  if (std::fclose(out) != 0 && error == 0) error = errno;
  if (error != 0) std::remove(path.c_str());  // no half image left behind under the name asked for
  return error;
}

// -qr: the link as given, or the link of a file, shared first unless the server already
// publishes it; then the code in the terminal (or a PNG) and the link under it.
int ShowQrCode(const Invocation& invocation) {
  const std::string& operand = invocation.operands.front();
  std::string link;
  int status = kExitOk;
  const bool given = LooksLikeLink(operand);
  if (given) {
    const std::string wrong = CheckQrLink(operand);
    if (!wrong.empty()) {
      Error("-qr: " + wrong);
      return kExitUsage;
    }
    link = operand;
  } else {
    const std::string file = Absolute(operand);
    // Said first: no server could help with a file that is not there.
    const std::string why = CannotShare(file);
    if (!why.empty()) {
      Error(
          std::string("cannot share ").append(messages::Printable(file)).append(": ").append(why));
      return kExitFailed;
    }
    ExchangeResult listed = ExchangeResult::Answered;
    std::optional<std::string> url = PublishedLinkOf(file, listed);
    if (listed != ExchangeResult::Answered) return ReportNoAnswer(listed);
    if (!url) {
      const ShareOutcome outcome = ShareFile(file, url);
      if (!url) return kExitFailed;
      if (outcome != ShareOutcome::Shared) status = kExitFailed;
    }
    link = *url;
  }
  const std::optional<QrCode> code = EncodeQrCode(link, invocation.qrLevel);
  if (!code) {
    const QrLevel level = invocation.qrLevel;
    Error("-qr: the link is " + std::to_string(link.size()) + " bytes, more than a QR code holds " +
          "at level " + QrLevelLetter(level) + " (" +
          std::to_string(QrByteCapacity(kQrMaxVersion, level)) + "; level L holds " +
          std::to_string(QrByteCapacity(kQrMaxVersion, QrLevel::L)) + ")");
    return given ? kExitUsage : kExitFailed;
  }
  if (invocation.pngFile.empty()) {
    Print(QrTerminalText(*code) + link + "\n");
    return status;
  }
  if (const int error = WriteWholeFile(invocation.pngFile, QrPng(*code)); error != 0) {
    Error("cannot write " + invocation.pngFile + ": " + std::strerror(error));
    return kExitFailed;
  }
  Print(link + "\n");
  return status;
}

// --- the server ---------------------------------------------------------------------------

// The client as accepted (the server listens on IPv4 only): known also when the client
// has gone before its answer ended.
std::string ClientText(std::uint32_t peer) {
  if (peer == 0) return "-";
  in_addr address{htonl(peer)};
  char text[INET_ADDRSTRLEN] = "-";
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::string LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local;
  ::localtime_r(&now, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  return text;
}

void LogRequest(RequestLog& log, const Connection& connection) {
  log.Add(FormatRequestLogLine(LocalTimeNow(), ClientText(connection.peer()), connection) + "\n");
}

void AnnounceStart(Application& app) {
  const Share root("", "/", 0);
  std::string line =
      "quillcast " QC_VERSION_TEXT ": serving on port " + std::to_string(app.settings.port);
  line += " (" +
          ComposeShareUrl(UrlHost(app.settings, app.services.addresses), app.settings.port, root) +
          ")";
  const std::size_t count = app.shares.Count();
  line += ", settings in " + app.storedFiles.directory + ", " + std::to_string(count) +
          (count == 1 ? " share" : " shares") + " loaded\n";
  Write(stderr, line);
}

}  // namespace

std::string ShareUrlOrPath(const std::optional<std::string>& host, std::uint16_t port,
                           const Share& share) {
  return host ? ComposeShareUrl(*host, port, share) : EscapeUrlPath(share.virtualPath);
}

std::vector<std::string> RemoveMatchingShares(ShareRegistry& shares,
                                              const std::optional<std::string>& host,
                                              std::uint16_t port,
                                              const std::vector<std::string>& names) {
  std::vector<std::string> removed;
  for (const SharePtr& share : shares.Snapshot()) {
    const std::string url = ShareUrlOrPath(host, port, *share);
    bool matches = false;
    for (const std::string& name : names) matches = matches || ShareMatches(name, *share, url);
    if (!matches) continue;
    shares.RemoveShare(share);
    removed.push_back(url);
  }
  return removed;
}

std::string FormatHostReport(const ServerSettings& settings,
                             const platform::AddressLookup& lookup) {
  const std::optional<std::vector<std::string>> addresses = platform::HostIPv4Addresses(lookup);
  const std::optional<std::string> route = platform::DefaultRouteAddress(lookup);
  const LinkHost host = ChooseUrlHost(settings, lookup);
  std::string report = "\n";
  if (!addresses) {
    report += "the addresses of this machine cannot be listed\n";
  } else if (addresses->empty()) {
    report += "this machine has no IPv4 address\n";
  } else {
    report += "addresses of this machine (host=N puts the Nth into links):\n";
    for (std::size_t i = 0; i < addresses->size(); ++i) {
      const std::string& address = (*addresses)[i];
      report += "  " + std::to_string(i + 1) + "  " + address;
      report += (address == route ? "  (default route)\n" : "\n");
    }
  }
  const std::string choice = "host=" + std::to_string(settings.hostChoice);
  // The same words for a choice the list does not have as for no choice, plus why.
  const std::string unmatched =
      settings.hostChoice > 0 ? choice + " names no address of this machine, so " : std::string();
  report += "links use " + host.text + ": ";
  switch (host.source) {
    case HostSource::Domain:
      report += "the domain (host=0)";
      break;
    case HostSource::ChosenAddress:
      report += "address " + std::to_string(settings.hostChoice) + " of the list (" + choice + ")";
      break;
    case HostSource::DefaultRoute:
      report += unmatched + "the default route's address";
      break;
    case HostSource::FirstAddress:
      report += unmatched + "the first address (there is no default route)";
      break;
    case HostSource::Loopback:
      report +=
          unmatched + "loopback, so they work on this machine only; set domain=NAME for others";
      break;
  }
  return report + "\n";
}

std::string FormatRequestLogLine(const std::string& time, const std::string& client,
                                 const Connection& connection) {
  const Request& request = connection.received.request;
  const ResponseSummary summary = connection.received.answered.value_or(ResponseSummary{});
  // Escaped like a URL: a path with blanks or control characters stays one field on one line.
  std::string line = time + " " + client + " " +
                     (request.path ? EscapeUrlPath(*request.path) : "-") + " " +
                     std::to_string(summary.status) + " " + std::to_string(summary.bodyBytes) + " ";
  if (!request.hasRange || request.badRequest) {
    line += "-";
  } else if (summary.range) {
    // As answered: a suffix or an open end resolved against the file.
    line += "bytes=" + std::to_string(summary.range->first) + "-" +
            std::to_string(summary.range->first + summary.range->count - 1);
  } else {
    const auto number = [](const std::optional<std::int64_t>& n) {
      return n ? std::to_string(*n) : "";
    };
    line += "bytes=" + number(request.rangeStart) + "-" + number(request.rangeEnd);
  }
  // A seventh field only when there is something to mark, the marks joined by ",".
  std::string marks;
  const auto mark = [&marks](const char* name) {
    if (!marks.empty()) marks += ',';
    marks += name;
  };
  if (request.method == RequestMethod::Head) mark("HEAD");
  if (summary.incomplete) mark("incomplete");
  // A completed download of its share, counted: what a script that follows downloads
  // waits for.
  if (summary.completed) mark("done");
  if (!marks.empty()) line += " " + marks;
  return line;
}

int RunNativeServer(bool quiet, const platform::Services& services) {
  // Made before the application, so that it outlives every connection that logs to it.
  // Copied links go through it too, quiet or not: standard output is one stream, and a
  // reader that stops reading it must hold neither a connection nor the control loop.
  RequestLog log(STDOUT_FILENO);
  const platform::ClipboardOps linkLines{
      [] { return true; },
      [] {},
      [&log](const char* data, std::size_t size) {
        std::string line(data, strnlen(data, size));
        line += '\n';
        log.Add(std::move(line));
        return true;
      },
      [] {},
  };
  Application app;
  app.services = services;
  app.services.clipboard = linkLines;
  app.connections.SetHeadTimeLimit(HeadTimeLimitFrom(std::getenv(kHeadLimitVariable)));
  if (!quiet) {
    app.connections.SetAnswerObserver(
        [&log](const Connection& connection) { LogRequest(log, connection); });
  }
  const StartOutcome started = StartServer(app);
  if (started.result == StartResult::Refused) return kExitFailed;
  if (started.result != StartResult::Running) {
    // The start gave back what it had taken; the instance lock goes with the application.
    const std::string port = "port " + std::to_string(app.settings.port);
    if (started.result == StartResult::LockFailed) {
      // Serving without the share lock would let requests read a list being changed.
      messages::Show(app.services.messages, messages::kLockFailed);
    } else if (started.result == StartResult::ListenFailed) {
      messages::Show(app.services.messages, messages::kListenFailed);
      Error(port + ": " + platform::Describe(started.error));
    } else if (started.result == StartResult::PortInvalid) {
      messages::Show(app.services.messages, messages::kPortInvalid);
      Error("choose the port with: quillcast -config port=8080");
    } else {
      messages::Show(app.services.messages, messages::kBindFailed);
      Error(port + ": " + platform::Describe(started.error) +
            (started.error.code == EACCES ? " (ports below 1024 need root or CAP_NET_BIND_SERVICE)"
                                          : "") +
            "; choose another port with: quillcast -config port=8080");
    }
    return kExitFailed;
  }
  const std::uint16_t listeningPort = app.settings.port;
  platform::ControlServer channel(CommandRequests(
      [&app, listeningPort](CommandType type, const std::vector<std::string>& fields) {
        return HandleCommand(app, listeningPort, type, fields);
      }));
  int channelError = 0;
  if (channel.Open(&channelError) != platform::ControlSetup::Ok) {
    Error("cannot open the control socket " + platform::ControlSocketPath() + ": " +
          std::strerror(channelError));
    StopServer(app);
    return kExitFailed;
  }
  if (app.ignoredSettings.Any()) {
    std::string fix;
    if (app.ignoredSettings.domain) fix += " domain=NAME";
    if (app.ignoredSettings.folder) fix += " folder=/FOLDER";
    TellIgnoredSettings(app);
    Error("correct common.cfg with: quillcast -config" + fix);
  }
  AnnounceStart(app);
  // The channel is closed when this returns, so no request reaches the handler after it.
  const int served = RunControlChannel(app, channel);
  StopServer(app);
  return served == 1 ? kExitOk : kExitFailed;
}

int RunCommand(int argc, char** argv, const platform::Services& services) {
  // A reader that went away (a closed pipe on the request log or on a listing) must not
  // end the program: the socket layer's start makes that harmless for every write.
  platform::SocketLibraryStart();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const Invocation invocation = ParseArguments(args);
  switch (invocation.action) {
    case Action::Help:
      Print(UsageText());
      return kExitOk;
    case Action::Version:
      Print("quillcast " QC_VERSION_TEXT "\n");
      return kExitOk;
    case Action::Usage:
      Error(invocation.error + "\nTry \"quillcast --help\".");
      return kExitUsage;
    case Action::Qr:
      // A link given whole needs no server, nor the runtime directory.
      if (LooksLikeLink(invocation.operands.front())) return ShowQrCode(invocation);
      break;
    default:
      break;
  }
  std::string problem;
  if (!platform::RuntimeDirectory(&problem)) {
    Error("cannot use the runtime directory: " + problem +
          ".\nIt holds the control socket, so it must be a directory of your own that no one "
          "else can write to; set XDG_RUNTIME_DIR to one, or fix it (chmod 700).");
    return kExitFailed;
  }
  switch (invocation.action) {
    case Action::Serve:
      return RunNativeServer(invocation.quiet, services);
    case Action::Share:
      return ShareFiles(invocation);
    case Action::Stop:
      return Stop();
    case Action::List:
      return ListShares(services);
    case Action::Unshare:
      return Unshare(services, invocation.operands);
    case Action::Config:
      return Configure(services, invocation.operands);
    case Action::Qr:
      return ShowQrCode(invocation);
    default:
      return kExitUsage;
  }
}

}  // namespace qc::cli
