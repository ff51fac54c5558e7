// Detached threads with a chosen stack size (std::thread cannot ask for one).
#pragma once
#include <cstddef>
#include <functional>

namespace qc::platform {

// Starts `body` on a new detached thread whose stack reserves `stackSize` bytes. False
// when no thread could be started (the body is then not run).
bool StartDetachedThread(std::function<void()> body, std::size_t stackSize);

}  // namespace qc::platform
