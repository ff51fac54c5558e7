// What the shared test support asks of the system it runs on; tests/unit/support_posix.cpp
// and support_win32.cpp answer, one per build.
#pragma once
#include <chrono>

#include "platform/socket.h"

namespace qc::testing {

unsigned long CurrentProcessId();
// True while a process with this id runs (also when it is another user's).
bool ProcessIsRunning(unsigned long pid);
// The blocking calls of this socket return (with an error) once `limit` has passed.
void SetSocketTimeLimit(platform::socket_t s, std::chrono::milliseconds limit);

}  // namespace qc::testing
