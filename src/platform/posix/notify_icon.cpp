// The native build runs headless: there is no notification area to show an icon in.
#include "platform/notify_icon.h"

namespace qc::platform {

struct NotifyIcon::Impl {};

NotifyIcon::NotifyIcon() = default;
NotifyIcon::~NotifyIcon() { Remove(); }

// The parameters are taken by value for the Windows icon, which keeps them.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool NotifyIcon::Show(std::string, std::vector<NotifyMenuItem>, int, int, CommandHandler) {
  return false;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool NotifyIcon::ShowWithoutIcon(int, CommandHandler) { return false; }

void NotifyIcon::Notify(std::string_view, std::string_view, NotifyKind) {}

void NotifyIcon::Remove() { impl_.reset(); }

bool NotifyIcon::IsShown() const { return false; }

bool NotifyIconWanted() { return false; }

}  // namespace qc::platform
