// The one object that owns the server's state. Everything that needs the settings, the
// shares or the connections is handed this object; tests build their own.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/coalesced_write.h"
#include "app/download_notices.h"
#include "http/connection.h"
#include "platform/services.h"
#include "platform/single_instance.h"
#include "platform/socket.h"
#include "shares/setting_rules.h"
#include "shares/settings_file.h"
#include "shares/share_defaults.h"
#include "shares/share_file.h"
#include "shares/share_registry.h"

namespace qc {

// The control panel thread's state. Only the Windows build has a panel; the native build
// keeps the flags so that the share handler's refusal reads the same everywhere.
struct UiState {
  std::atomic<bool> active{false};       // UiActive: true while a panel can be edited
  std::atomic<bool> sharesDirty{false};  // SharesDirty: a share was deleted in the panel
  std::atomic<bool> ending{false};       // the server stops: the panel ends, saving nothing
  void* thread = nullptr;                // UiThread: handle of the latest panel thread
};

struct Application;

// A window that shows a link as a QR code, made by the Windows entry's panel code on the
// thread that asks for it (whose message loop then serves it); the native entry has none.
class LinkCodeView {
 public:
  virtual ~LinkCodeView() = default;
  // Shows the link's code in front, in place of any other it showed.
  virtual void Show(const std::string& link) = 0;
};

// The share whose link was copied or shared last in this run, for "Show QR code of the
// last link"; the control loop's thread and the panel's set it.
class LastShare {
 public:
  void Set(SharePtr share) {
    std::lock_guard guard(mutex_);
    share_ = std::move(share);
  }
  SharePtr Get() const {
    std::lock_guard guard(mutex_);
    return share_;
  }

 private:
  mutable std::mutex mutex_;
  SharePtr share_;
};

// The control panel, handed in by the entry that has one (the Windows entry); the native
// entry hands none. start: starts the panel's thread unless one is active and returns at
// once. wait: blocks until the latest panel thread has ended. end: at the server's stop,
// ends an open panel as its close box would (nothing saved), also from inside a message
// box it shows, and waits for its thread, so that the thread never touches the
// application after the stop.
struct Panel {
  std::function<int(Application&)> start;
  std::function<void(Application&)> wait;
  std::function<void(Application&)> end;
  // The QR code window the notification icon opens (on the control loop's thread).
  std::function<std::unique_ptr<LinkCodeView>(Application&)> makeLinkCodeView = {};
  // New share's folder picker uses the older folder browser, its fallback for systems
  // without the newer dialog, even where that one exists (to exercise the fallback).
  bool folderBrowserOnly = false;
};

struct Application {
  // The system's services the server and its panel use; the entry hands the ones it made
  // at start-up, tests their fakes.
  platform::Services services = platform::SystemServices();
  ServerSettings settings;
  // The limits new shares get unless their command gives its own; changed (with their
  // file) under the share lock, as the settings are.
  ShareDefaults shareDefaults;
  ShareRegistry shares;
  ConnectionRegistry connections;
  platform::SingleInstance instance;
  platform::socket_t listenSocket = platform::kInvalidSocket;
  // The start-up directory and the two stored files in it: the current directory at the
  // server's start unless set before it (StartServer), then fixed for the server's life.
  StoredFiles storedFiles;
  std::thread acceptThread;
  UiState ui;
  Panel panel;
  LastShare lastShared;
  // What the start's load found wrong with shared.cfg, until the user has been told.
  ShareFileDamage shareFileDamage;
  // Serialises the writes of downloads.cfg, so an older count never replaces a newer one;
  // `downloadsNotStored` keeps a failing disk from telling the user at every download.
  std::mutex downloadsWrite;
  bool downloadsNotStored = false;
  // The writes of downloads.cfg after downloads of shares without a limit: made at the
  // start, ended (what it gathered written) at the stop.
  std::unique_ptr<CoalescedWrite> downloadsSaver;
  // The completed downloads the notification icon has yet to tell (when it tells them).
  DownloadNotices downloadNotices;
  // What the start left out of common.cfg, until the user has been told.
  IgnoredSettings ignoredSettings;
  // The start found newshares.cfg damaged, until the user has been told.
  bool shareDefaultsDamaged = false;
};

// Tells the user once about a damaged shared.cfg the last load found, if any.
void TellShareFileDamage(Application& app);
// Tells the user once about the settings the start left out, if any, and about a damaged
// newshares.cfg.
void TellIgnoredSettings(Application& app);
// The limits a share added now gets: each of `asked` that is set, else the default's.
ShareLimits LimitsOfNewShare(const Application& app, const ShareLimits& asked = {});

// The panel's calls; without a panel each returns at once (start as if it had started).
inline int StartPanel(Application& app) { return app.panel.start ? app.panel.start(app) : 1; }
inline void WaitForPanel(Application& app) {
  if (app.panel.wait) app.panel.wait(app);
}
inline void EndPanel(Application& app) {
  if (app.panel.end) app.panel.end(app);
}

}  // namespace qc
