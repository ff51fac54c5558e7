// The window that shows a link as a QR code for a phone's camera: dark modules on white
// with the quiet zone, at a whole number of pixels per module, the link as text under it
// and a "Copy link" button. One object per window, on the thread that made it.
#pragma once
#include "platform/os_windows.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/application.h"
#include "platform/services.h"
#include "platform/windows_handles.h"
#include "shares/qr_code.h"
#include "ui/ui_session.h"

namespace qc::ui {

class LinkCodeWindow : public LinkCodeView {
 public:
  // "Copy link" copies onto `services`' clipboard and tells its failure there too;
  // `onCopied` hears of each that put the link on the clipboard.
  explicit LinkCodeWindow(const platform::Services& services, std::function<void()> onCopied = {});
  ~LinkCodeWindow() override;
  LinkCodeWindow(const LinkCodeWindow&) = delete;
  LinkCodeWindow& operator=(const LinkCodeWindow&) = delete;

  // Shows the window in front with `link`'s code (in the ANSI code page, as every link of
  // this build); made on the first call.
  void Show(const std::string& link) override;
  // Redraws with another link, shown or not; an empty link shows no code.
  void SetLink(const std::string& link);
  bool IsShown() const;
  HWND window() const { return window_; }

 private:
  template <typename Window>
  friend LRESULT CALLBACK RouteToWindowObject(HWND, UINT, WPARAM, LPARAM);

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool Create();
  void UseDpi(UINT dpi);
  void Layout();
  void Paint();
  void CopyLink();
  int Scaled(int pixelsAt96) const;

  platform::ClipboardOps clipboard_;
  platform::MessageSink messages_;
  std::function<void()> onCopied_;
  std::string link_;
  std::optional<QrCode> code_;
  HWND window_ = nullptr;  // set and cleared by RouteToWindowObject
  platform::UniqueWindow owned_;
  platform::UniqueFont font_;
  HWND linkText_ = nullptr;
  HWND copyButton_ = nullptr;
  UINT dpi_ = 96;
  // Where the code and its quiet zone are drawn, and each module's side in pixels.
  int codeLeft_ = 0;
  int codeTop_ = 0;
  int modulePixels_ = 0;
};

// The panel code's window for the notification icon's "Show QR code".
std::unique_ptr<LinkCodeView> MakeLinkCodeView(Application& app);

}  // namespace qc::ui
