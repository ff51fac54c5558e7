// The notification-area icon: Shell_NotifyIconW on a hidden window of the thread that
// shows it. The window is a top-level one that is never shown rather than a message-only
// one: only top-level windows receive the "TaskbarCreated" broadcast a restarted Explorer
// sends, and without it the icon would be gone for good after a restart of the shell.
#include "platform/notify_icon.h"

#include <string>
#include <utility>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

#include <shellapi.h>

namespace qc::platform {

namespace {

constexpr char kWindowClass[] = "QuillcastNotifyIconOwner";
constexpr UINT kIconId = 1;
// The resource number of the program's icon (the first icon of quillcast.exe).
constexpr WORD kProgramIconResource = 1;
constexpr char kSettingsKey[] = "Software\\Quillcast";
constexpr char kIconSetting[] = "NotificationIcon";
constexpr char kDownloadNoticesSetting[] = "DownloadNotices";
constexpr UINT_PTR kTickTimer = 1;
// NIN_BALLOONUSERCLICK: the user clicked the notification (icons of the first version get
// it as the callback message's lParam, as they get the mouse messages).
constexpr UINT kBalloonClicked = WM_USER + 5;

// The texts arrive in the ANSI code page, as every path and link of this build does.
std::wstring Wide(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  }
  return wide;
}

// Copies as much as fits, always terminated.
template <std::size_t N>
void CopyInto(wchar_t (&field)[N], std::string_view text) {
  const std::wstring wide = Wide(text);
  const std::size_t count = wide.size() < N - 1 ? wide.size() : N - 1;
  wide.copy(field, count);
  field[count] = L'\0';
}

}  // namespace

struct NotifyIcon::Impl {
  // Declared before the window, so that the window goes first.
  UniqueIcon ownedIcon;  // the program's own icon; the system's is shared, never freed
  HICON icon = nullptr;  // the one shown: ownedIcon's or the system's
  UniqueWindow window;
  bool added = false;
  UINT taskbarCreated = 0;
  std::string tooltip;
  std::vector<NotifyMenuItem> menu;
  int defaultCommand = 0;
  int closeCommand = 0;
  bool withIcon = true;  // false: the window alone, for its WM_CLOSE
  CommandHandler onCommand;
  NotifyIconObserver observer;
  std::function<void()> tick;

  void Report(const NotifyIconRecord& record) const {
    if (observer) observer(record);
  }

  NOTIFYICONDATAW Data() const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window.get();
    data.uID = kIconId;
    return data;
  }

  std::vector<std::string> MenuTexts() const {
    std::vector<std::string> texts;
    for (const NotifyMenuItem& item : menu) texts.push_back(item.text);
    return texts;
  }

  void Add() {
    if (!withIcon) return;
    NOTIFYICONDATAW data = Data();
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kNotifyIconMessage;
    data.hIcon = icon;
    CopyInto(data.szTip, tooltip);
    // Without a shell yet (a start at logon before Explorer) this fails; the shell's
    // "TaskbarCreated" brings the icon in once it is there.
    added = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    NotifyIconRecord record;
    record.change = NotifyIconChange::Add;
    record.tooltip = tooltip;
    record.menu = MenuTexts();
    record.window = window.get();
    Report(record);
  }

  void Delete() {
    if (!withIcon) return;
    NOTIFYICONDATAW data = Data();
    Shell_NotifyIconW(NIM_DELETE, &data);
    added = false;
    NotifyIconRecord record;
    record.change = NotifyIconChange::Delete;
    record.window = window.get();
    Report(record);
  }

  void Run(int command) {
    if (onCommand) onCommand(command);
  }

  void ShowMenu() {
    const UniqueMenu popup(CreatePopupMenu());
    if (!popup) return;
    for (const NotifyMenuItem& item : menu) {
      AppendMenuW(popup.get(), MF_STRING, static_cast<UINT_PTR>(item.command),
                  Wide(item.text).c_str());
    }
    SetMenuDefaultItem(popup.get(), static_cast<UINT>(defaultCommand), FALSE);
    POINT at{};
    GetCursorPos(&at);
    // Without this the menu would stay open when the user clicks elsewhere.
    SetForegroundWindow(window.get());
    // The chosen line comes back as WM_COMMAND, the path a test also takes.
    TrackPopupMenu(popup.get(), TPM_RIGHTBUTTON | TPM_BOTTOMALIGN | TPM_RIGHTALIGN, at.x, at.y, 0,
                   window.get(), nullptr);
    PostMessageW(window.get(), WM_NULL, 0, 0);
  }

  // `target` is the window the message is for: during its creation `window` is not set yet.
  LRESULT OnMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNotifyIconMessage) {
      switch (LOWORD(lParam)) {
        case WM_LBUTTONDBLCLK:
          Run(defaultCommand);
          break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
          ShowMenu();
          break;
        case kBalloonClicked:
          Run(kNotificationClicked);
          break;
        default:
          break;
      }
      return 0;
    }
    if (message == WM_COMMAND) {
      const int command = LOWORD(wParam);
      for (const NotifyMenuItem& item : menu) {
        if (item.command == command) {
          Run(command);
          break;
        }
      }
      return 0;
    }
    if (message == WM_TIMER && wParam == kTickTimer) {
      if (tick) tick();
      return 0;
    }
    if (taskbarCreated != 0 && message == taskbarCreated) {
      Add();
      return 0;
    }
    // Left to DefWindowProc, the window would be destroyed and the icon with it, while the
    // program ran on without either.
    if (message == WM_CLOSE) {
      Run(closeCommand);
      return 0;
    }
    return DefWindowProcA(target, message, wParam, lParam);
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* created = reinterpret_cast<CREATESTRUCTA*>(lParam);
      auto* self = static_cast<Impl*>(created->lpCreateParams);
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return self->OnMessage(window, message, wParam, lParam);
  }

  // No message reaches the object once it is going: its window is destroyed after this.
  ~Impl() {
    if (window) SetWindowLongPtrA(window.get(), GWLP_USERDATA, 0);
  }
};

NotifyIcon::NotifyIcon(NotifyIconObserver observer) : observer_(std::move(observer)) {}
NotifyIcon::~NotifyIcon() { Remove(); }

bool NotifyIcon::Show(std::string tooltip, std::vector<NotifyMenuItem> menu, int defaultCommand,
                      int closeCommand, CommandHandler onCommand) {
  return Create(std::move(tooltip), std::move(menu), defaultCommand, closeCommand, true,
                std::move(onCommand));
}

bool NotifyIcon::ShowWithoutIcon(int closeCommand, CommandHandler onCommand) {
  return Create(std::string(), {}, 0, closeCommand, false, std::move(onCommand));
}

bool NotifyIcon::Create(std::string tooltip, std::vector<NotifyMenuItem> menu, int defaultCommand,
                        int closeCommand, bool withIcon, CommandHandler onCommand) {
  Remove();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = Impl::Procedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  // Registered by the first icon of the process; a later one finds it there.
  if (RegisterClassA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    return false;

  auto impl = std::make_unique<Impl>();
  impl->tooltip = std::move(tooltip);
  impl->menu = std::move(menu);
  impl->defaultCommand = defaultCommand;
  impl->closeCommand = closeCommand;
  impl->withIcon = withIcon;
  impl->onCommand = std::move(onCommand);
  impl->observer = observer_;
  impl->taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  // Never shown, and a tool window: no taskbar button even if something showed it.
  impl->window.reset(CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "Quillcast", WS_POPUP, 0, 0, 0,
                                     0, nullptr, nullptr, instance, impl.get()));
  if (!impl->window) return false;
  const int size = GetSystemMetrics(SM_CXSMICON);
  impl->ownedIcon.reset(static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(kProgramIconResource), IMAGE_ICON, size, size, 0)));
  impl->icon = impl->ownedIcon.get();
  // A program without the icon resource (the test programs) shows the system's.
  if (impl->icon == nullptr)
    impl->icon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
  impl_ = std::move(impl);
  impl_->Add();
  return true;
}

void NotifyIcon::Notify(std::string_view title, std::string_view text, NotifyKind kind) {
  if (impl_ == nullptr || !impl_->withIcon) return;
  NOTIFYICONDATAW data = impl_->Data();
  data.uFlags = NIF_INFO;
  CopyInto(data.szInfoTitle, title);
  CopyInto(data.szInfo, text);
  data.dwInfoFlags = kind == NotifyKind::Error ? NIIF_ERROR : NIIF_INFO;
  Shell_NotifyIconW(NIM_MODIFY, &data);
  NotifyIconRecord record;
  record.change = NotifyIconChange::Notify;
  record.title = std::string(title);
  record.text = std::string(text);
  record.kind = kind;
  record.window = impl_->window.get();
  impl_->Report(record);
}

void NotifyIcon::Every(unsigned milliseconds, std::function<void()> tick) {
  if (impl_ == nullptr) return;
  impl_->tick = std::move(tick);
  SetTimer(impl_->window.get(), kTickTimer, milliseconds, nullptr);
}

void NotifyIcon::Remove() {
  if (impl_ == nullptr) return;
  impl_->Delete();
  impl_.reset();
}

bool NotifyIcon::IsShown() const { return impl_ != nullptr && impl_->added; }

namespace {
// Missing, or anything but a DWORD: on, as after a plain install.
bool SwitchSetting(const char* name) {
  DWORD value = 1;
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return true;
  }
  return value != 0;
}
}  // namespace

bool NotifyIconWanted() { return SwitchSetting(kIconSetting); }

bool DownloadNoticesWanted() { return SwitchSetting(kDownloadNoticesSetting); }

}  // namespace qc::platform
