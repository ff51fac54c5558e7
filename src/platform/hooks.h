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
#include "platform/message.h"

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
  // Answers the host-address lookup.
  Override<std::optional<std::vector<std::string>>()> hostAddresses;
  // Asked before each File::Write: false makes that write fail as a full disk does.
  Override<bool()> writeAllowed;
};

Table& Overrides();

// Each backend's own calls, behind the replacements.
void ShowSystemMessage(std::string_view text, std::string_view caption, MessageIcon icon);
// The same without waiting for the user (ShowMessageAside).
void ShowSystemMessageAside(std::string_view text, std::string_view caption, MessageIcon icon);
std::optional<std::vector<std::string>> LookUpHostAddresses();
const ClipboardOps& SystemClipboard();

// The host name buffer the lookup has always used; longer names fail to fetch.
inline constexpr int kHostNameBuffer = 64;

// What File::Write asks on both backends: true unless a test makes this write fail.
bool WriteAllowed();

}  // namespace qc::platform::hooks
