#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <memory>

namespace qc::platform {

namespace {
void* Run(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}
}  // namespace

bool StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  if (stackSize < minimum) stackSize = minimum;
  pthread_attr_setstacksize(&attributes, stackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attributes, Run, owned.get()) == 0;
  pthread_attr_destroy(&attributes);
  if (started) owned.release();
  return started;
}

}  // namespace qc::platform
