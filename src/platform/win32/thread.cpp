#include "platform/thread.h"

#include <process.h>

#include <memory>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

namespace {
unsigned __stdcall RunBody(void* parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}
}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // A reservation, not a commitment: only the pages the thread touches cost memory.
  const std::uintptr_t handle =
      _beginthreadex(nullptr, static_cast<unsigned>(stackSize), RunBody, owned.get(),
                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) return false;
  static_cast<void>(owned.release());  // the thread owns it now
  // Nobody waits for the thread: its handle goes at once.
  UniqueHandle(reinterpret_cast<HANDLE>(handle)).reset();
  return true;
}

}  // namespace qc::platform
