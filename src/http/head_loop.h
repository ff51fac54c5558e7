// The readiness loop that waits for heads: one thread accepts every connection, receives
// each head as it arrives without ever waiting on one socket, and hands a connection to a
// sending thread only once its head is whole. An idle connection so costs a descriptor
// and the buffer its head has filled so far, not a thread.
#pragma once
#include "http/connection.h"
#include "platform/socket.h"
#include "shares/share_registry.h"

namespace qc {

// Runs the loop on the calling thread until the registry's stop has begun and the listener
// was woken for good (platform::InterruptSocket); returns once every sending thread it
// started has ended. False at once, having done nothing, where the system offers no
// readiness wait (the caller then serves with a thread per connection).
bool RunHeadLoop(platform::socket_t listener, ConnectionRegistry& connections,
                 ShareRegistry& shares);

}  // namespace qc
