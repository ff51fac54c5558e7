#include "platform/single_instance.h"

#include <utility>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (handle_ != nullptr) return true;
  SetLastError(0);
  UniqueHandle mutex(CreateMutexA(nullptr, TRUE, "QuillcastOneCopyAtTime"));
  // Any last error refuses, whether the mutex existed already or the call failed.
  if (GetLastError() != 0) return false;
  handle_ = mutex.release();
  return true;
}

void SingleInstance::Release() {
  // The portable class keeps the handle as a plain value; it is let go here only.
  const UniqueHandle mutex(static_cast<HANDLE>(std::exchange(handle_, kNoNativeHandle)));
  if (mutex) ReleaseMutex(mutex.get());
}

}  // namespace qc::platform
