#include "platform/thread.h"

#include <memory>

#include "platform/os_windows.h"

namespace qc::platform {

namespace {
DWORD WINAPI Run(LPVOID argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}
}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // A reservation only: pages are committed as the stack grows.
  HANDLE thread = CreateThread(nullptr, stackSize, Run, owned.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  owned.release();
  CloseHandle(thread);
  return true;
}

}  // namespace qc::platform
