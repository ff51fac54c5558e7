// The icon in the notification area that tells the user the server runs, with its menu and
// the notifications it shows. Windows only: the native build has none, and its Show
// says so by returning false.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

// One line of the icon's menu. `command` is handed back when it is chosen.
struct NotifyMenuItem {
  int command;
  std::string text;
};

enum class NotifyKind { Info, Error };

// What the icon was asked to do, as tests see it.
enum class NotifyIconChange { Add, Delete, Notify };

struct NotifyIconRecord {
  NotifyIconChange change = NotifyIconChange::Add;
  std::string tooltip;            // Add
  std::vector<std::string> menu;  // Add: the menu's texts in order
  std::string title;              // Notify
  std::string text;               // Notify
  NotifyKind kind = NotifyKind::Info;
  // The window the icon's messages go to (an HWND on Windows), so that a test can send
  // it what the shell sends on a click.
  void* window = nullptr;
};

// Sees every change the icon was asked for (tests); the icon itself is still shown as
// usual.
using NotifyIconObserver = std::function<void(const NotifyIconRecord&)>;

// The icon of one thread: created, shown and removed on that thread; its menu commands
// are handled while that thread waits in the control channel (which dispatches its
// messages), never on another thread.
class NotifyIcon {
 public:
  using CommandHandler = std::function<void(int command)>;

  // `observer` (when given) is told of every change the icon is asked for.
  explicit NotifyIcon(NotifyIconObserver observer = {});  // both defined where Impl is complete
  ~NotifyIcon();                                          // removes the icon
  NotifyIcon(const NotifyIcon&) = delete;
  NotifyIcon& operator=(const NotifyIcon&) = delete;

  // Puts the icon in the notification area with `tooltip` and a right-click menu of
  // `menu`; a double-click runs `defaultCommand`, and a request to close the icon's window
  // runs `closeCommand` (the window stays until Remove). False when no icon can be shown.
  bool Show(std::string tooltip, std::vector<NotifyMenuItem> menu, int defaultCommand,
            int closeCommand, CommandHandler onCommand);
  // The icon's window alone, no icon in the notification area, for a user who turned the
  // icon off: a request to close it still runs `closeCommand`. "taskkill" without /F, and
  // uninstallers, ask a program to end by closing its top-level windows (WM_CLOSE), and
  // find none to ask without this one. False when there is no such window (native).
  bool ShowWithoutIcon(int closeCommand, CommandHandler onCommand);
  // A notification beside the icon (nothing when the icon is not shown).
  void Notify(std::string_view title, std::string_view text, NotifyKind kind);
  // Runs `tick` on this thread every `milliseconds` while the icon (or its window alone) is
  // shown; a later call replaces it. Nothing natively.
  void Every(unsigned milliseconds, std::function<void()> tick);
  // Takes the icon away; Show may put it back.
  void Remove();
  bool IsShown() const;

 private:
  // Both ways of showing (Windows backend).
  bool Create(std::string tooltip, std::vector<NotifyMenuItem> menu, int defaultCommand,
              int closeCommand, bool withIcon, CommandHandler onCommand);

  struct Impl;
  NotifyIconObserver observer_;
  std::unique_ptr<Impl> impl_;  // set exactly while the icon, or its window alone, is shown
};

// What the command handler is handed when the user clicks the notification shown last.
inline constexpr int kNotificationClicked = -1;

// The user's choice: false when the icon is turned off (Windows: the DWORD
// HKCU\Software\Quillcast\NotificationIcon set to 0). Always false on the native build.
bool NotifyIconWanted();

// The user's choice of a notice for each completed download, beside the icon's own: false
// when turned off (Windows: the DWORD HKCU\Software\Quillcast\DownloadNotices set to 0;
// missing means on). Always false on the native build, which has no icon.
bool DownloadNoticesWanted();

// The message the shell sends the icon's window on a click (WM_APP + 1); its lParam is the
// mouse message, as the shell sends it to icons of the first version. Tests send it too.
inline constexpr unsigned kNotifyIconMessage = 0x8000 + 1;

// The longest texts the shell shows, in characters, terminator excluded.
inline constexpr std::size_t kNotifyTooltipLimit = 127;
inline constexpr std::size_t kNotifyTitleLimit = 63;
inline constexpr std::size_t kNotifyTextLimit = 255;

}  // namespace qc::platform
