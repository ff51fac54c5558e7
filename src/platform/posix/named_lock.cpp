#include "platform/named_lock.h"

#include <mutex>

namespace qc::platform {

struct NamedLock::Impl {
  std::recursive_mutex mutex;
};

NamedLock::NamedLock(const char*) : impl_(std::make_unique<Impl>()) {}
NamedLock::~NamedLock() = default;
bool NamedLock::IsValid() const { return true; }
void NamedLock::lock() { impl_->mutex.lock(); }
void NamedLock::unlock() { impl_->mutex.unlock(); }

}  // namespace qc::platform
