// The calls tests take over, private to the platform layer and shared by both backends.
// Every one goes through the same table: the public call looks for a replacement first
// and falls back to the backend's own function, so a test sees the same path on either
// build. The public setters (Set...ForTesting) sit beside the calls they replace.
#pragma once
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clipboard.h"
#include "platform/file.h"
#include "platform/message.h"
#include "platform/notify_icon.h"

namespace qc::platform::hooks {

// One replaceable call. Get hands out a copy, so the replacement runs outside the lock
// and may itself replace calls.
template <typename Signature>
class Override {
 public:
  void Set(std::function<Signature> replacement) {
    std::lock_guard<std::mutex> guard(mutex_);
    replacement_ = std::move(replacement);
  }
  std::function<Signature> Get() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return replacement_;
  }

 private:
  mutable std::mutex mutex_;
  std::function<Signature> replacement_;
};

struct Table {
  // Takes a message instead of the box (or the line on standard error).
  Override<void(const std::string& text, const std::string& caption, MessageIcon icon)> showMessage;
  // Answers the interface-address query (the addresses in the system's order).
  Override<std::optional<std::vector<std::string>>()> hostAddresses;
  // Answers the default route's source address.
  Override<std::optional<std::string>()> defaultRoute;
  // Asked before each File::Write: false makes that write fail as a full disk does.
  Override<bool()> writeAllowed;
  // Asked before each sync of a file or a folder: false makes that sync fail.
  Override<bool(SyncKind kind)> syncAllowed;
  // Sees each change asked of the notification-area icon.
  Override<void(const NotifyIconRecord& record)> notifyIcon;
};

Table& Overrides();

// The interfaces' addresses: the test's, or the backend's.
std::optional<std::vector<std::string>> InterfaceAddresses();

// Each backend's own calls, behind the replacements.
void ShowSystemMessage(std::string_view text, std::string_view caption, MessageIcon icon);
// The same without waiting for the user (ShowMessageAside).
void ShowSystemMessageAside(std::string_view text, std::string_view caption, MessageIcon icon);
// The IPv4 addresses of the interfaces that are up, in the system's order.
std::optional<std::vector<std::string>> LookUpHostAddresses();
// The source address of a datagram socket connected to kOutsideAddress.
std::optional<std::string> LookUpDefaultRouteAddress();
const ClipboardOps& SystemClipboard();

// Where the default route query aims. Connecting a datagram socket only picks a route
// and a source address; nothing is sent. A documentation address (TEST-NET-3) lies in no
// local network, so only the default route leads there, and nobody's server is named.
inline constexpr char kOutsideAddress[] = "203.0.113.1";
inline constexpr unsigned short kOutsidePort = 9;  // discard; any port would do

// What File::Write asks on both backends: true unless a test makes this write fail.
bool WriteAllowed();
// What every sync asks on both backends: true unless a test makes this sync fail.
bool SyncAllowed(SyncKind kind);
// What each backend's icon calls for every change it makes.
void ReportNotifyIcon(const NotifyIconRecord& record);

}  // namespace qc::platform::hooks
