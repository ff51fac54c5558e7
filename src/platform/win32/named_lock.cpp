#include "platform/named_lock.h"

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

// The name is held by a kernel mutex for as long as the lock lives, so the lock is known
// by it and a name taken by another kind of object still fails the start. The locking
// itself stays in the process: every wait for and release of a kernel mutex is a trip to
// the kernel (under Wine, two wineserver round trips per lock taken: six per small answer,
// measured with wineserver -d2), and nothing outside this process ever takes these locks.
// A critical section: recursive, as the share list's users need, and it reaches the
// kernel only when threads actually wait for each other (Wine waits on a futex then).
struct NamedLock::Impl {
  Impl() { InitializeCriticalSection(&section); }
  ~Impl() { DeleteCriticalSection(&section); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  UniqueHandle name;
  CRITICAL_SECTION section;
};

NamedLock::NamedLock(const char* name) : impl_(std::make_unique<Impl>()) {
  impl_->name.reset(CreateMutexA(nullptr, FALSE, name));
}

NamedLock::~NamedLock() = default;

bool NamedLock::IsValid() const { return static_cast<bool>(impl_->name); }

void NamedLock::lock() { EnterCriticalSection(&impl_->section); }

void NamedLock::unlock() { LeaveCriticalSection(&impl_->section); }

}  // namespace qc::platform
