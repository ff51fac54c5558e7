// The control panel's thread: it exists only while the panel is open, builds both windows
// afresh each run and ends when the panel window is destroyed.
#include "platform/os_windows.h"
#include "platform/windows_handles.h"

#include <commctrl.h>

#include "app/application.h"
#include "ui/control_panel.h"
#include "ui/limits_window.h"
#include "ui/new_share_window.h"
#include "ui/ui_session.h"
#include "ui/ui_texts.h"
#include "ui/ui_thread.h"

namespace qc {

namespace ui {
namespace {

constexpr DWORD kUiThreadExitCode = 1;
// How often the stop repeats its quit message (a thread that has just started may not
// have its message queue yet), and how long it waits in all.
constexpr DWORD kEndUiSliceMs = 100;
constexpr int kEndUiSlices = 50;

void RegisterUiClasses(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.style = kClassStyle;
  windowClass.lpfnWndProc = RouteToWindowObject<ControlPanel>;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(kClassBackground);
  windowClass.lpszClassName = kMainClassName;
  RegisterClassA(&windowClass);
  windowClass.lpfnWndProc = RouteToWindowObject<NewShareWindow>;
  windowClass.lpszClassName = kNewShareClassName;
  RegisterClassA(&windowClass);
  windowClass.lpfnWndProc = RouteToWindowObject<LimitsWindow>;
  windowClass.lpszClassName = kLimitsClassName;
  RegisterClassA(&windowClass);
}

DWORD WINAPI UiThreadMain(LPVOID parameter) {
  Application& app = *static_cast<Application*>(parameter);
  UiSession session(app);
  ControlPanel panel(session);
  NewShareWindow newShare(session);
  LimitsWindow limits(session);
  session.panel = &panel;
  session.limits = &limits;

  InitCommonControls();
  RegisterUiClasses(session.instance);
  // Made before the panel: its controls are created during the panel's own creation.
  platform::UniqueFont font(CreateFontA(kFontHeight, 0, 0, 0, kFontWeight, FALSE, FALSE, FALSE,
                                        ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                        DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kFontFace));
  session.font = font.get();

  session.mainWindow = CreateWindowExA(kTopLevelExStyle, kMainClassName, kMainTitle, kTopLevelStyle,
                                       CW_USEDEFAULT, CW_USEDEFAULT, kMainWidth, kMainHeight,
                                       nullptr, nullptr, session.instance, &panel);
  // Only hidden and shown again while the thread runs: this thread alone destroys it.
  platform::UniqueWindow newShareWindow(
      CreateWindowExA(kTopLevelExStyle, kNewShareClassName, kNewShareTitle, kTopLevelStyle,
                      CW_USEDEFAULT, CW_USEDEFAULT, kNewShareWidth, kNewShareHeight, nullptr,
                      nullptr, session.instance, &newShare));
  session.newShareWindow = newShareWindow.get();
  if (session.newShareWindow != nullptr) {
    ShowWindow(session.newShareWindow, SW_HIDE);
    UpdateWindow(session.newShareWindow);
  }
  // Made hidden: it is ours alone, and shown then hidden it would flash on every opening
  // of the panel (and cost a window manager's answer each way).
  platform::UniqueWindow limitsWindow(CreateWindowExA(
      kTopLevelExStyle, kLimitsClassName, kLimitsTitle, kTopLevelStyle & ~WS_VISIBLE, CW_USEDEFAULT,
      CW_USEDEFAULT, kLimitsWidth, kLimitsHeight, nullptr, nullptr, session.instance, &limits));
  session.limitsWindow = limitsWindow.get();

  // Without its panel window nothing could ever end the loop, and the flag would refuse
  // command-line shares for the rest of the process.
  if (session.mainWindow != nullptr) {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  // Ended by the server's stop (a quit message) rather than by the panel's own
  // destruction: the panel goes now, while its object still lives on this stack. Not an
  // owner's job: the panel usually destroys itself when the user closes it.
  if (session.mainWindow != nullptr && IsWindow(session.mainWindow)) {
    DestroyWindow(session.mainWindow);
  }
  // The hidden New share window goes before its font and its class; its object lives on
  // this stack and must not outlive the window that points at it.
  newShareWindow.reset();
  session.newShareWindow = nullptr;
  limitsWindow.reset();
  session.limitsWindow = nullptr;
  session.limits = nullptr;
  font.reset();
  session.font = nullptr;
  app.ui.active.store(false);
  UnregisterClassA(kMainClassName, session.instance);
  UnregisterClassA(kNewShareClassName, session.instance);
  UnregisterClassA(kLimitsClassName, session.instance);
  return kUiThreadExitCode;
}

}  // namespace
}  // namespace ui

int StartUiThread(Application& app) {
  if (app.ui.active.load()) return 1;
  // A thread whose panel has closed may still be in its last steps (classes not yet
  // unregistered); the new run starts only once it has ended, so it registers both classes
  // and creates both windows itself.
  WaitForUiThread(app);
  app.ui.active.store(true);
  app.ui.sharesDirty.store(false);
  HANDLE thread = CreateThread(nullptr, 0, ui::UiThreadMain, &app, 0, nullptr);
  // No thread, no panel: the flag must not go on refusing command-line shares.
  if (thread == nullptr) app.ui.active.store(false);
  app.ui.thread = thread;
  return 1;
}

void EndUiThread(Application& app) {
  if (app.ui.thread == nullptr) return;
  app.ui.ending.store(true);
  // The application keeps the handle as a plain value; it is closed here or in
  // WaitForUiThread, whichever comes first.
  platform::UniqueHandle thread(static_cast<HANDLE>(app.ui.thread));
  const DWORD id = GetThreadId(thread.get());
  bool ended = false;
  for (int slice = 0; slice < ui::kEndUiSlices && !ended; ++slice) {
    // A quit message ends the panel's loop, and also the modal loop of a message box or
    // file dialog the panel shows (which passes it on to the loop outside).
    PostThreadMessageA(id, WM_QUIT, 0, 0);
    ended = WaitForSingleObject(thread.get(), ui::kEndUiSliceMs) == WAIT_OBJECT_0;
  }
  // A thread that would not end must not touch the application once it is gone.
  if (!ended) TerminateThread(thread.get(), ui::kUiThreadExitCode);
  thread.reset();
  app.ui.thread = nullptr;
  app.ui.active.store(false);
}

void WaitForUiThread(Application& app) {
  if (app.ui.thread == nullptr) return;
  platform::UniqueHandle thread(static_cast<HANDLE>(app.ui.thread));
  WaitForSingleObject(thread.get(), INFINITE);
  thread.reset();
  app.ui.thread = nullptr;
}

}  // namespace qc
