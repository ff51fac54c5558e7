#include "cli/client_commands.h"

#include <fcntl.h>
#include <sys/file.h>
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

#include "app/messages.h"
#include "app/server.h"
#include "cli/command_output.h"
#include "cli/control_protocol.h"
#include "cli/native_server.h"
#include "cli/qr_output.h"
#include "shares/share_limits.h"
#include "platform/directory.h"
#include "platform/host_addresses.h"
#include "platform/runtime_directory.h"
#include "shares/downloads_file.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
#include "shares/share_defaults.h"
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

}  // namespace

int ShareFiles(const Invocation& invocation) {
  const std::vector<std::string>& operands = invocation.operands;
  const bool confirmed = invocation.confirmed;
  std::vector<std::string> limits;
  if (invocation.limit != 0) limits.push_back(kLimitField + std::to_string(invocation.limit));
  if (invocation.until) {
    const std::optional<std::int64_t> until = UnixTimeOfLocal(*invocation.until);
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
namespace {

// Without a server the command works on the files of its own current directory, the ones
// a server started there would use.
StoredFiles FilesHere() { return StoredFiles::In(platform::CurrentDirectory()); }

// False when the file is missing or unreadable (the defaults, with the default port, then).
bool LoadSettingsOrDefaults(const StoredFiles& files, ServerSettings& settings) {
  if (LoadSettings(files, settings) != 0) return true;
  settings.port = kDefaultPort;
  return false;
}

// What the commands work on when no server runs: the files here, the shares with their
// counts and limits, the settings and the host their links name.
struct FilesAtRest {
  StoredFiles files = FilesHere();
  ServerSettings settings;
  std::optional<std::string> host;
};

// Loads `here` and the share file into `shares`, telling of damage found in it; false when
// there is no share file (the caller says what that means for it).
bool LoadFilesHere(const platform::Services& services, ShareRegistry& shares, FilesAtRest& here) {
  ShareFileDamage damage;
  if (LoadShares(here.files, shares, &damage) == 0) return false;
  if (damage.found) messages::ShowShareFileDamage(services.messages, damage.keptAs);
  LoadDownloads(here.files, shares);
  LoadSettingsOrDefaults(here.files, here.settings);
  here.host = UrlHost(here.settings, services.addresses);
  return true;
}

}  // namespace

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

  ShareRegistry shares;
  FilesAtRest here;
  if (!LoadFilesHere(services, shares, here)) {
    Error("no server is running, and there is no " + here.files.Shares() + " to list");
    return kExitOk;
  }
  Error("no server is running; the shares in " + here.files.Shares() + ":");
  std::string out;
  for (const SharePtr& share : shares.Snapshot()) {
    out +=
        FormatShareLine(ShareUrlOrPath(here.host, here.settings.port, *share), share->physicalPath,
                        share->flags.load(), share->Tally(), share->Limits(), LocalTimeOf) +
        "\n";
  }
  Print(out);
  return kExitOk;
}

namespace {

// The names the server tries for an -unshare argument: as typed, and, for a relative file
// name, the absolute path it stands for (a URL or a virtual path means itself).
std::vector<std::string> UnshareNames(const std::string& operand) {
  const bool url = operand.rfind("http://", 0) == 0 || operand.rfind("https://", 0) == 0;
  if (url || Absolute(operand) == operand) return {operand};
  return {operand, Absolute(operand)};
}

int UnshareWithoutServer(const platform::Services& services,
                         const std::vector<std::string>& arguments) {
  ShareRegistry shares;
  FilesAtRest here;
  const StoredFiles& files = here.files;
  const std::string file = files.Shares();
  if (!LoadFilesHere(services, shares, here)) {
    Error("no server is running, and there is no " + file + " to remove shares from");
    return kExitFailed;
  }
  const std::optional<std::string>& host = here.host;
  const ServerSettings& settings = here.settings;
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

}  // namespace

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
namespace {

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

}  // namespace

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
  ShareDefaults defaults;
  const DefaultsLoad defaultsLoad = LoadShareDefaults(files, defaults);
  if (!changes.Empty()) {
    const std::optional<ShareDefaults> before =
        defaultsLoad == DefaultsLoad::Missing ? std::nullopt : std::optional(defaults);
    ApplySettingChanges(changes, settings);
    ApplySettingChanges(changes, defaults);
    const SettingsStoreResult stored =
        StoreSettingsChange(files, changes.SettingsEmpty() ? nullptr : &settings,
                            changes.DefaultsEmpty() ? nullptr : &defaults, before);
    if (stored.outcome != SettingsStore::Stored) {
      Error("cannot write " + stored.failedFile + ": " + std::strerror(stored.error.code) + "; " +
            (stored.outcome == SettingsStore::OnlyDefaultsStored
                 ? "only the defaults for new shares were changed"
                 : "nothing was changed"));
      return kExitFailed;
    }
    std::string written;
    if (!changes.SettingsEmpty()) written = file;
    if (!changes.DefaultsEmpty()) written += (written.empty() ? "" : " and ") + files.Defaults();
    Error("no server is running; wrote " + written + " (taken at the next start)");
  } else if (loaded) {
    Error("no server is running; the settings in " + file + ":");
  } else {
    Error("no server is running, and " + file + " is missing or unreadable; the defaults:");
  }
  if (defaultsLoad == DefaultsLoad::Damaged && changes.DefaultsEmpty()) {
    Error(files.Defaults() +
          " is damaged: new shares get no default limit or lifetime until they are set again "
          "(quillcast -config limit=N lifetime=7d)");
  }
  Print(FormatSettings(settings, defaults) +
        (pairs.empty() ? FormatHostReport(settings, services.addresses) : std::string()));
  return kExitOk;
}

// --- stop ---------------------------------------------------------------------------------
namespace {

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

}  // namespace

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
namespace {

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

}  // namespace

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

}  // namespace qc::cli
