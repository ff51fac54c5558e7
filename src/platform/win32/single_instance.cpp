#include "platform/single_instance.h"

#include "platform/os_windows.h"

namespace qc::platform {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (handle_ != nullptr) return true;
  SetLastError(0);
  HANDLE h = CreateMutexA(nullptr, TRUE, "QuillcastOneCopyAtTime");
  // Any last error refuses, whether the mutex existed already or the call failed.
  if (GetLastError() != 0) {
    if (h != nullptr) CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

void SingleInstance::Release() {
  if (handle_ != nullptr) {
    ReleaseMutex(static_cast<HANDLE>(handle_));
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
  }
}

}  // namespace qc::platform
