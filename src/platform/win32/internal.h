// The Windows backend's own helpers, not part of the platform's interface; tests of the
// backend (tests/win) read them.
#pragma once
#include <cstdint>
#include <optional>

#include "platform/control_channel.h"

namespace qc::platform::win32 {

// What the control server makes of a WaitForMultipleObjects result over its exit, share
// and panel events (in that order). None: wait again. An abandoned event or a failed wait
// ends the loop; the events are the server's own, so neither should happen, and waiting
// on would spin.
std::optional<ControlEvent> ControlEventOfWait(std::uint32_t result);

// The message the shell sends the notification icon's window on a click (WM_APP + 1); its
// lParam is the mouse message, as the shell sends it to icons of the first version.
inline constexpr unsigned kNotifyIconMessage = 0x8000 + 1;

}  // namespace qc::platform::win32
