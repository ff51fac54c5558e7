#include "platform/named_lock.h"

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

// A kernel mutex is recursive for its owning thread, as the share list's users need.
struct NamedLock::Impl {
  UniqueHandle mutex;
};

NamedLock::NamedLock(const char* name) : impl_(std::make_unique<Impl>()) {
  impl_->mutex.reset(CreateMutexA(nullptr, FALSE, name));
}

NamedLock::~NamedLock() = default;

bool NamedLock::IsValid() const { return static_cast<bool>(impl_->mutex); }

void NamedLock::lock() {
  // An abandoned mutex is still acquired; its holder died with its thread.
  WaitForSingleObject(impl_->mutex.get(), INFINITE);
}

void NamedLock::unlock() { ReleaseMutex(impl_->mutex.get()); }

}  // namespace qc::platform
