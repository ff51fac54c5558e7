#include "cli/native_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/control.h"
#include "app/messages.h"
#include "app/server.h"
#include "cli/command_output.h"
#include "cli/options.h"
#include "cli/request_log.h"
#include "platform/host_addresses.h"
#include "platform/runtime_directory.h"
#include "platform/socket.h"
#include "quillcast_version.h"
#include "shares/share_url.h"

namespace qc::cli {

namespace {

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
  if (app.ignoredSettings.Any() || app.shareDefaultsDamaged) {
    std::string fix;
    if (app.ignoredSettings.domain) fix += " domain=NAME";
    if (app.ignoredSettings.folder) fix += " folder=/FOLDER";
    const bool defaults = app.shareDefaultsDamaged;
    TellIgnoredSettings(app);
    if (!fix.empty()) Error("correct common.cfg with: quillcast -config" + fix);
    if (defaults)
      Error("set the defaults for new shares again with: quillcast -config limit=N lifetime=7d");
  }
  AnnounceStart(app);
  // The channel is closed when this returns, so no request reaches the handler after it.
  const int served = RunControlChannel(app, channel);
  StopServer(app);
  return served == 1 ? kExitOk : kExitFailed;
}

}  // namespace qc::cli
