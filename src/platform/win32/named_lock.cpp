#include "platform/named_lock.h"

#include "platform/os_windows.h"

namespace qc::platform {

// A kernel mutex is recursive for its owning thread, as the share list's users need.
struct NamedLock::Impl {
  HANDLE mutex = nullptr;
};

NamedLock::NamedLock(const char* name) : impl_(std::make_unique<Impl>()) {
  impl_->mutex = CreateMutexA(nullptr, FALSE, name);
}

NamedLock::~NamedLock() {
  if (impl_->mutex != nullptr) CloseHandle(impl_->mutex);
}

bool NamedLock::IsValid() const { return impl_->mutex != nullptr; }

void NamedLock::lock() {
  // An abandoned mutex is still acquired; its holder died with its thread.
  WaitForSingleObject(impl_->mutex, INFINITE);
}

void NamedLock::unlock() { ReleaseMutex(impl_->mutex); }

}  // namespace qc::platform
