// The native build runs headless: there is no notification area to show an icon in.
#include "platform/notify_icon.h"

#include <utility>

namespace qc::platform {

struct NotifyIcon::Impl {};

NotifyIcon::NotifyIcon(NotifyIconObserver observer) : observer_(std::move(observer)) {}
NotifyIcon::~NotifyIcon() { Remove(); }

// The parameters are taken by value for the Windows icon, which keeps them.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool NotifyIcon::Show(std::string, std::vector<NotifyMenuItem>, int, int, CommandHandler) {
  return false;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool NotifyIcon::ShowWithoutIcon(int, CommandHandler) { return false; }

void NotifyIcon::Notify(std::string_view, std::string_view, NotifyKind) {}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
void NotifyIcon::Every(unsigned, std::function<void()>) {}

void NotifyIcon::Remove() { impl_.reset(); }

bool NotifyIcon::IsShown() const { return false; }

bool NotifyIconWanted() { return false; }

bool DownloadNoticesWanted() { return false; }

}  // namespace qc::platform
