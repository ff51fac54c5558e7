#include "platform/hooks.h"

#include <atomic>
#include <memory>

#include "platform/file.h"
#include "platform/host_addresses.h"

namespace qc::platform {

namespace hooks {

Table& Overrides() {
  static Table table;
  return table;
}

bool WriteAllowed() {
  const std::function<bool()> allowed = Overrides().writeAllowed.Get();
  return !allowed || allowed();
}

bool SyncAllowed(SyncKind kind) {
  const std::function<bool(SyncKind)> allowed = Overrides().syncAllowed.Get();
  return !allowed || allowed(kind);
}

void ReportNotifyIcon(const NotifyIconRecord& record) {
  if (const std::function<void(const NotifyIconRecord&)> observer = Overrides().notifyIcon.Get()) {
    observer(record);
  }
}

}  // namespace hooks

std::optional<std::vector<std::string>> hooks::InterfaceAddresses() {
  const HostAddressSource source = Overrides().hostAddresses.Get();
  return source ? source() : LookUpHostAddresses();
}

std::optional<std::string> DefaultRouteAddress() {
  if (const RouteAddressSource route = hooks::Overrides().defaultRoute.Get()) return route();
  // Made-up addresses with the real machine's route would mix two machines.
  if (hooks::Overrides().hostAddresses.Get()) return std::nullopt;
  return hooks::LookUpDefaultRouteAddress();
}

void SetHostAddressSourceForTesting(HostAddressSource source) {
  hooks::Overrides().hostAddresses.Set(std::move(source));
}

void SetDefaultRouteSourceForTesting(RouteAddressSource source) {
  hooks::Overrides().defaultRoute.Set(std::move(source));
}

namespace {
std::atomic<const ClipboardOps*> replacedClipboard{nullptr};
}  // namespace

const ClipboardOps& Clipboard() {
  const ClipboardOps* ops = replacedClipboard.load();
  return ops != nullptr ? *ops : hooks::SystemClipboard();
}

void ReplaceClipboard(const ClipboardOps* ops) { replacedClipboard.store(ops); }

void SetMessageSinkForTesting(MessageSink sink) {
  hooks::Overrides().showMessage.Set(std::move(sink));
}

void SetNotifyIconObserverForTesting(NotifyIconObserver observer) {
  hooks::Overrides().notifyIcon.Set(std::move(observer));
}

void SetSyncHookForTesting(std::function<bool(SyncKind)> hook) {
  hooks::Overrides().syncAllowed.Set(std::move(hook));
}

void FailWritesAfterForTesting(int writesLeft) {
  if (writesLeft < 0) {
    hooks::Overrides().writeAllowed.Set(nullptr);
    return;
  }
  // Shared by the copies each write takes of the replacement.
  auto left = std::make_shared<std::atomic<int>>(writesLeft);
  hooks::Overrides().writeAllowed.Set([left] {
    int now = left->load();
    while (now > 0) {
      if (left->compare_exchange_weak(now, now - 1)) return true;
    }
    return false;
  });
}

}  // namespace qc::platform
