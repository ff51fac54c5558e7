#include "platform/single_instance.h"

#include "platform/os_windows.h"

namespace qc::platform {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (owned_) return true;
  SetLastError(0);
  HANDLE h = CreateMutexA(nullptr, TRUE, "QuillcastOneCopyAtTime");
  // Any last error refuses, whether the mutex existed already or the call failed.
  if (GetLastError() != 0) {
    if (h != nullptr) CloseHandle(h);
    return false;
  }
  handle_ = h;
  owned_ = true;
  return true;
}

void SingleInstance::Release() {
  if (handle_ != nullptr) {
    if (owned_) ReleaseMutex(static_cast<HANDLE>(handle_));
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
  }
  owned_ = false;
}

}  // namespace qc::platform
