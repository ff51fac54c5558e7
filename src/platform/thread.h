// Threads with a stack size of our choosing: a server that holds thousands of idle
// connections, one thread each, should not reserve the default 8 MiB (Linux) or 1 MiB
// (Windows) for each of them.
#pragma once
#include <cstddef>
#include <functional>

namespace qc::platform {

// Starts a detached thread that runs `body`, with a stack of `stackSize` bytes (rounded up
// to what the system accepts). False when no thread could be started.
bool StartDetachedThread(std::function<void()> body, std::size_t stackSize);

}  // namespace qc::platform
