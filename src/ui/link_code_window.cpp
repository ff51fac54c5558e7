#include "ui/link_code_window.h"

#include <algorithm>

#include "app/messages.h"
#include "platform/clipboard.h"
#include "platform/codepage.h"
#include "shares/share_url.h"
#include "ui/ui_texts.h"

namespace qc::ui {

namespace {

// The program declares no DPI awareness (the panel is laid out in fixed pixels), so at
// 150 % Windows would stretch this window's bitmap too, and modules would blur into their
// neighbours. This window alone is made per-monitor aware when the system can (Windows 10
// 1607 and later; the calls are looked up, since the program also runs on older ones),
// and draws each module in whole pixels at the monitor's own DPI.
using DpiContext = HANDLE;
const DpiContext kPerMonitorAwareV2 = reinterpret_cast<DpiContext>(static_cast<INT_PTR>(-4));
constexpr UINT kDpiChangedMessage = 0x02E0;  // WM_DPICHANGED
constexpr UINT kBaseDpi = 96;

template <typename Function>
Function UserCall(const char* name) {
  HMODULE user = GetModuleHandleA("user32.dll");
  if (user == nullptr) return nullptr;
  // Through the generic function type, which any function pointer may be cast to and from.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user, name)));
}

// Creates the window per-monitor aware where the system allows it.
HWND CreateDpiAwareWindow(LinkCodeWindow* object) {
  using SetContext = DpiContext(WINAPI*)(DpiContext);
  const auto setContext = UserCall<SetContext>("SetThreadDpiAwarenessContext");
  const DpiContext previous = setContext != nullptr ? setContext(kPerMonitorAwareV2) : nullptr;
  HWND window = CreateWindowExA(
      kTopLevelExStyle, kCodeClassName, kCodeTitle, kTopLevelStyle & ~WS_VISIBLE, CW_USEDEFAULT,
      CW_USEDEFAULT, kCodeArea, kCodeArea, nullptr, nullptr, GetModuleHandleA(nullptr), object);
  if (previous != nullptr) setContext(previous);
  return window;
}

UINT DpiOf(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  const auto getDpi = UserCall<GetDpi>("GetDpiForWindow");
  const UINT dpi = getDpi != nullptr ? getDpi(window) : 0;
  return dpi != 0 ? dpi : kBaseDpi;
}

bool RegisterCodeClass() {
  WNDCLASSA windowClass{};
  windowClass.style = kClassStyle;
  windowClass.lpfnWndProc = RouteToWindowObject<LinkCodeWindow>;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(kClassBackground);
  windowClass.lpszClassName = kCodeClassName;
  // Both the panel's thread and the control loop's make these windows; the class is the
  // process's and stays registered.
  return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

LinkCodeWindow::LinkCodeWindow(const platform::Services& services, std::function<void()> onCopied)
    : clipboard_(services.clipboard),
      messages_(services.messages),
      onCopied_(std::move(onCopied)) {}

LinkCodeWindow::~LinkCodeWindow() = default;

bool LinkCodeWindow::Create() {
  if (window_ != nullptr) return true;
  if (!RegisterCodeClass()) return false;
  owned_.reset(CreateDpiAwareWindow(this));
  if (!owned_) return false;
  HINSTANCE instance = GetModuleHandleA(nullptr);
  linkText_ = CreateWindowExA(WS_EX_CLIENTEDGE, "Edit", "", kCodeLinkStyle, 0, 0, 0, 0, window_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdCodeLink)), instance,
                              nullptr);
  copyButton_ = CreateWindowExA(
      0, "Button", kCodeCopyText, StyleOf(ControlKind::PushButton).style, 0, 0, 0, 0, window_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdCodeCopy)), instance, nullptr);
  UseDpi(DpiOf(window_));
  return true;
}

int LinkCodeWindow::Scaled(int pixelsAt96) const {
  return MulDiv(pixelsAt96, static_cast<int>(dpi_), static_cast<int>(kBaseDpi));
}

void LinkCodeWindow::UseDpi(UINT dpi) {
  dpi_ = dpi;
  font_.reset(CreateFontA(Scaled(kFontHeight), 0, 0, 0, kFontWeight, FALSE, FALSE, FALSE,
                          ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_DONTCARE, kFontFace));
  for (HWND control : {linkText_, copyButton_}) {
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  }
  Layout();
}

void LinkCodeWindow::Show(const std::string& link) {
  if (!Create()) return;
  SetLink(link);
  ShowWindow(window_, SW_SHOWNORMAL);
  SetForegroundWindow(window_);
}

void LinkCodeWindow::SetLink(const std::string& link) {
  link_ = link;
  // Phones read the link's bytes as UTF-8; this build's links are in the ANSI code page.
  code_ = link.empty() ? std::nullopt : EncodeQrCode(platform::AnsiToUtf8(link));
  if (window_ == nullptr) return;
  SetWindowTextA(linkText_, link.c_str());
  EnableWindow(copyButton_, link.empty() ? FALSE : TRUE);
  Layout();
  InvalidateRect(window_, nullptr, TRUE);
}

bool LinkCodeWindow::IsShown() const { return window_ != nullptr && IsWindowVisible(window_); }

void LinkCodeWindow::Layout() {
  if (window_ == nullptr) return;
  const int modules = code_ ? code_->size() + 2 * kQrQuietZone : 0;
  // Whole pixels per module at 96 DPI, then as many whole pixels as the DPI gives them: at
  // 200 % exactly twice as many, at 150 % one and a half rounded down.
  const int basePixels = modules == 0 ? 0 : std::max(kCodeMinModulePixels, kCodeArea / modules);
  modulePixels_ = std::max(modules == 0 ? 0 : 1,
                           basePixels * static_cast<int>(dpi_) / static_cast<int>(kBaseDpi));
  const int codeSide = modules * modulePixels_;
  const int margin = Scaled(kCodeMargin);
  const int area = std::max(Scaled(kCodeArea), codeSide);
  const int width = 2 * margin + std::max(area, Scaled(kCodeMinWidth));
  codeLeft_ = (width - codeSide) / 2;
  codeTop_ = margin + (area - codeSide) / 2;
  const int textTop = margin + area + margin;
  const int textHeight = Scaled(kCodeLinkHeight);
  MoveWindow(linkText_, margin, textTop, width - 2 * margin, textHeight, TRUE);
  const int buttonWidth = Scaled(kCodeButtonWidth);
  const int buttonHeight = Scaled(kCodeButtonHeight);
  const int buttonTop = textTop + textHeight + margin;
  MoveWindow(copyButton_, width - margin - buttonWidth, buttonTop, buttonWidth, buttonHeight, TRUE);
  const int height = buttonTop + buttonHeight + margin;
  // The frame as the window has it now, around the client area wanted.
  RECT outer{};
  RECT inner{};
  GetWindowRect(window_, &outer);
  GetClientRect(window_, &inner);
  const int frameWidth = (outer.right - outer.left) - (inner.right - inner.left);
  const int frameHeight = (outer.bottom - outer.top) - (inner.bottom - inner.top);
  SetWindowPos(window_, nullptr, 0, 0, width + frameWidth, height + frameHeight,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void LinkCodeWindow::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  if (code_) {
    const int modules = code_->size() + 2 * kQrQuietZone;
    const int side = modules * modulePixels_;
    const RECT ground{codeLeft_, codeTop_, codeLeft_ + side, codeTop_ + side};
    FillRect(dc, &ground, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const auto black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    // One rectangle per run of dark modules in a row.
    for (int row = 0; row < modules; ++row) {
      for (int column = 0; column < modules;) {
        if (!code_->DarkWithQuietZone(row, column)) {
          ++column;
          continue;
        }
        int end = column;
        while (end < modules && code_->DarkWithQuietZone(row, end)) ++end;
        const RECT run{codeLeft_ + column * modulePixels_, codeTop_ + row * modulePixels_,
                       codeLeft_ + end * modulePixels_, codeTop_ + (row + 1) * modulePixels_};
        FillRect(dc, &run, black);
        column = end;
      }
    }
  } else if (!link_.empty()) {
    RECT client{};
    GetClientRect(window_, &client);
    RECT area{Scaled(kCodeMargin), Scaled(kCodeMargin), client.right - Scaled(kCodeMargin),
              Scaled(kCodeMargin + kCodeArea)};
    const HGDIOBJ old = SelectObject(dc, font_.get());
    SetBkMode(dc, TRANSPARENT);
    DrawTextA(dc, kCodeTooLongText, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old);
  }
  EndPaint(window_, &paint);
}

void LinkCodeWindow::CopyLink() {
  if (link_.empty()) return;
  ClipboardSession session(clipboard_);
  if (!session.IsOpen() || session.Replace(link_, link_.size() + 1) != UrlCopy::Copied) {
    messages::Show(messages_, messages::kCopyFailed);
    return;
  }
  if (onCopied_) onCopied_();
}

LRESULT LinkCodeWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      Paint();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdCodeCopy) CopyLink();
      return 0;
    case WM_CLOSE:
      // Kept for the next link: its owner destroys it.
      ShowWindow(window_, SW_HIDE);
      return 0;
    case kDpiChangedMessage: {
      // Moved to a monitor of another DPI: the place Windows suggests, the size of the
      // layout at the new DPI.
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      UseDpi(LOWORD(wParam));
      InvalidateRect(window_, nullptr, TRUE);
      return 0;
    }
    default:
      return DefWindowProcA(window_, message, wParam, lParam);
  }
}

std::unique_ptr<LinkCodeView> MakeLinkCodeView(Application& app) {
  return std::make_unique<LinkCodeWindow>(app.services);
}

}  // namespace qc::ui
