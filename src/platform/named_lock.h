// A process-wide recursive lock known by its name. Windows: the name is held by a kernel
// mutex (CreateMutexA) while the lock lives, and the locking is a critical section in the
// process. Native: a recursive mutex.
#pragma once
#include <memory>

namespace qc::platform {

class NamedLock {
 public:
  explicit NamedLock(const char* name);
  ~NamedLock();
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  void lock();
  void unlock();
  // False when the lock could not be made (Windows: CreateMutexA failed, for example
  // because another kind of object holds the name). Such a lock guards nothing, so its
  // owner must not be used.
  bool IsValid() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qc::platform
