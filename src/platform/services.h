// The system's services the floors above are handed rather than reach for: the entry
// makes the real ones once (SystemServices) and passes them down; tests pass their fakes
// through the same parameters. The disk's faults travel with the stored files
// (StoredFiles::faults) and the control channel's answered requests with the channel
// (ControlServer), each beside what uses it.
#pragma once
#include "platform/clipboard.h"
#include "platform/host_addresses.h"
#include "platform/message.h"
#include "platform/notify_icon.h"

namespace qc::platform {

struct Services {
  // Where copied links go.
  ClipboardOps clipboard;
  // Where the user is told something.
  MessageSink messages;
  // The machine's addresses, for the links' host.
  AddressLookup addresses;
  // Sees each change asked of the notification-area icon; production hands none.
  NotifyIconObserver iconObserver;
};

inline Services SystemServices() {
  return {SystemClipboard(), SystemMessageSink(), SystemAddressLookup(), {}};
}

}  // namespace qc::platform
