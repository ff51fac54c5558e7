#include "app/server.h"

#include <cstdlib>
#include <ctime>
#include <mutex>

#include "app/command_line.h"
#include "app/control.h"
#include "app/messages.h"
#include "platform/directory.h"
#include "shares/downloads_file.h"
#include "shares/setting_rules.h"
#include "shares/share_file.h"

namespace qc {

namespace {
void LoadSettingsOrDefaultPort(Application& app) {
  if (LoadSettings(app.storedFiles, app.settings) == 0) app.settings.port = kDefaultPort;
}
}  // namespace

void StoreWithdrawal(Application& app) {
  ShareFileWrite written;
  {
    // Serialised with every other write of the share list, which all run under this lock.
    std::lock_guard guard(app.shares.Lock());
    written = RewriteShareFile(app.storedFiles, app.shares);
  }
  // On a connection thread: a box must not hold it.
  if (written == ShareFileWrite::Failed)
    platform::ShowMessageAside(app.services.messages, messages::kWithdrawalNotStored);
}

bool StoreDownloadCounts(Application& app) {
  std::lock_guard guard(app.downloadsWrite);
  const bool written = StoreDownloads(app.storedFiles, app.shares) == ShareFileWrite::Written;
  if (!written && !app.downloadsNotStored)
    platform::ShowMessageAside(app.services.messages, messages::kDownloadsNotStored);
  app.downloadsNotStored = !written;
  return written;
}

namespace {
// What a start takes on the way to listening, given back unless the start gets there: the
// listening socket and the socket library. The single-instance lock is the application's
// own (released with it, or by Release): a Windows start that cannot bind stays the one
// server while its panel lets the user choose another port.
class StartUndo {
 public:
  explicit StartUndo(Application& app) : app_(app) {}
  ~StartUndo() {
    if (kept_) return;
    if (app_.listenSocket != platform::kInvalidSocket) platform::CloseSocket(app_.listenSocket);
    app_.listenSocket = platform::kInvalidSocket;
    if (socketsStarted_) platform::SocketLibraryStop();
  }
  StartUndo(const StartUndo&) = delete;
  StartUndo& operator=(const StartUndo&) = delete;

  void SocketsStarted() { socketsStarted_ = true; }
  StartResult Keep() {
    kept_ = true;
    return StartResult::Running;
  }

 private:
  Application& app_;
  bool socketsStarted_ = false;
  bool kept_ = false;
};
}  // namespace

StartOutcome StartServer(Application& app) {
  if (!app.instance.Acquire()) {
    messages::Show(app.services.messages, messages::kAlreadyRunning);
    return {StartResult::Refused, {}};
  }
  if (!app.shares.Lock().IsValid() || !app.connections.LockIsValid()) {
    return {StartResult::LockFailed, {}};
  }
  // The one reading of the current directory, unless the caller chose the directory: the
  // files stay where the server started, wherever a file dialog or anything else moves the
  // current directory later.
  if (app.storedFiles.directory.empty()) {
    app.storedFiles.directory = platform::CurrentDirectory();
  }
  LoadSettingsOrDefaultPort(app);
  if (CheckPort(app.settings.port) != SettingFault::None) return {StartResult::PortInvalid, {}};
  app.ignoredSettings = IgnoreSettingsThatBreakLinks(app.settings);
  app.shareDefaultsDamaged =
      LoadShareDefaults(app.storedFiles, app.shareDefaults) == DefaultsLoad::Damaged;
  app.shares.SetWithdrawalListener([&app] { StoreWithdrawal(app); });
  // A share with a download limit stores each count at once: lost in a crash, it would
  // let the share give more downloads than its limit. Others gather the counts of a
  // second into one write, off the answers (a write per answer doubled a small answer's
  // system calls).
  app.downloadsSaver = std::make_unique<CoalescedWrite>([&app] { StoreDownloadCounts(app); },
                                                        kDownloadsWriteInterval);
  app.shares.SetDownloadListener([&app](const Share& share, const DownloadEnd& end, bool limited) {
    if (limited) {
      StoreDownloadCounts(app);
    } else {
      app.downloadsSaver->Ask();
    }
    if (app.downloadNotices.Wanted()) {
      const std::size_t slash = share.virtualPath.rfind('/');
      app.downloadNotices.Add({share.virtualPath.substr(slash == std::string::npos ? 0 : slash + 1),
                               end.address, end.size},
                              DownloadNotices::Clock::now());
    }
  });
  StartUndo undo(app);
  platform::SocketLibraryStart();
  undo.SocketsStarted();
  platform::SocketError error;
  app.listenSocket = platform::CreateTcpSocket(&error);
  if (app.listenSocket == platform::kInvalidSocket ||
      !platform::BindAnyAddress(app.listenSocket, app.settings.port, &error)) {
    return {StartResult::BindFailed, error};
  }
  if (!platform::Listen(app.listenSocket, kListenBacklog, &error)) {
    return {StartResult::ListenFailed, error};
  }
  app.connections.Reset();
  // The list is complete before the first request can be accepted.
  LoadShares(app.storedFiles, app.shares, &app.shareFileDamage);
  // Damage here costs counts and limits only, and the next count rewrites the file whole.
  LoadDownloads(app.storedFiles, app.shares);
  platform::socket_t listener = app.listenSocket;
  app.acceptThread =
      std::thread([listener, &app] { AcceptLoop(listener, app.connections, app.shares); });
  return {undo.Keep(), {}};
}

void StopServer(Application& app) {
  app.connections.StopAllConnections();
  // The counts still gathered are written before the stop reports done.
  app.downloadsSaver.reset();
  if (app.listenSocket != platform::kInvalidSocket) {
    bool released = platform::InterruptSocket(app.listenSocket);
    // The accept thread ends once its accept failed and every other accepting thread has
    // ended; waiting for it keeps them all from touching the registries while the
    // application goes away.
    if (app.acceptThread.joinable()) app.acceptThread.join();
    if (!released) platform::CloseSocket(app.listenSocket);
    app.listenSocket = platform::kInvalidSocket;
  }
  platform::SocketLibraryStop();
  app.instance.Release();
}

void TellShareFileDamage(Application& app) {
  if (!app.shareFileDamage.found) return;
  messages::ShowShareFileDamage(app.services.messages, app.shareFileDamage.keptAs);
  app.shareFileDamage = ShareFileDamage{};
}

void TellIgnoredSettings(Application& app) {
  messages::ShowIgnoredSettings(app.services.messages, app.ignoredSettings);
  app.ignoredSettings = IgnoredSettings{};
  if (app.shareDefaultsDamaged)
    messages::Show(app.services.messages, messages::kShareDefaultsDamaged);
  app.shareDefaultsDamaged = false;
}

ShareLimits LimitsOfNewShare(const Application& app, const ShareLimits& asked) {
  return LimitsOfNewShare(app.shareDefaults, asked, static_cast<std::int64_t>(std::time(nullptr)));
}

namespace {
// The server does not run, but the panel opens so that the port can be changed; the
// process lives as long as it does. The shares are loaded before it starts, so it never
// sees them half loaded. Sockets stay started while it is open: its URL copy looks up
// the host.
void RunPanelInsteadOfServer(Application& app) {
  LoadShares(app.storedFiles, app.shares, &app.shareFileDamage);
  LoadDownloads(app.storedFiles, app.shares);
  TellShareFileDamage(app);
  StartPanel(app);
  WaitForPanel(app);
  platform::SocketLibraryStop();
}

// The one way out of a start that did not reach Running: the start gave back what it had
// taken; the user is told why, in the order each failure has always had.
void EndFailedStart(Application& app, const StartOutcome& outcome) {
  if (outcome.result == StartResult::Refused) return;  // told already; nothing was taken
  // The boxes' texts are fixed; the system's word goes beside them, to the standard error
  // of a start from a console or a script, before a box holds the thread.
  if (outcome.error.code != 0) {
    platform::WriteErrorLine("quillcast: port " + std::to_string(app.settings.port) + ": " +
                             platform::Describe(outcome.error));
  }
  switch (outcome.result) {
    case StartResult::LockFailed:
      messages::Show(app.services.messages, messages::kLockFailed);
      break;
    case StartResult::BindFailed:
      messages::Show(app.services.messages, messages::kBindFailed);
      LoadSettingsOrDefaultPort(app);
      platform::SocketLibraryStart();
      RunPanelInsteadOfServer(app);
      break;
    case StartResult::PortInvalid:
      // As for a port that cannot be bound: the panel is where a Windows user sets it.
      messages::Show(app.services.messages, messages::kPortInvalid);
      platform::SocketLibraryStart();
      RunPanelInsteadOfServer(app);
      break;
    case StartResult::ListenFailed:
      messages::Show(app.services.messages, messages::kListenFailed);
      break;
    case StartResult::Refused:
    case StartResult::Running:
      break;
  }
  app.instance.Release();
}
}  // namespace

int RunServer(Application& app) {
  const StartOutcome started = StartServer(app);
  if (started.result != StartResult::Running) {
    EndFailedStart(app, started);
    return 1;
  }
  RunControlChannel(app);
  // An open panel ends first, saving nothing, so its thread never outlives the state it
  // works on.
  EndPanel(app);
  StopServer(app);
  return 1;
}

std::chrono::milliseconds HeadTimeLimitFrom(const char* value) {
  if (value == nullptr || *value == '\0') return kHeadTimeLimit;
  long seconds = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || seconds > 3600) return kHeadTimeLimit;
    seconds = seconds * 10 + (*c - '0');
  }
  if (seconds < 1 || seconds > 3600) return kHeadTimeLimit;
  return std::chrono::seconds(seconds);
}

int RunEntry(const std::string& tail, const Panel& panel, const platform::Services& services) {
  switch (ChooseRole(tail)) {
    case Role::Server: {
      Application app;
      app.services = services;
      app.panel = panel;
      app.connections.SetHeadTimeLimit(HeadTimeLimitFrom(std::getenv(kHeadLimitVariable)));
      return RunServer(app);
    }
    case Role::Panel:
      SendPanelRequest(services.messages);
      return 1;
    case Role::Stop:
      SendStopRequest(services.messages);
      return 1;
    case Role::Share:
      SendShareRequestsFromTail(services.messages, tail);
      return 1;
  }
  return 1;
}

}  // namespace qc
