#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <memory>

namespace qc::platform {

namespace {
void* RunBody(void* parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return nullptr;
}
}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const std::size_t least = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  if (stackSize < least) stackSize = least;
  pthread_attr_setstacksize(&attr, stackSize);
  pthread_t thread;
  const int started = pthread_create(&thread, &attr, RunBody, owned.get());
  pthread_attr_destroy(&attr);
  if (started != 0) return false;
  static_cast<void>(owned.release());  // the thread owns it now
  return true;
}

}  // namespace qc::platform
