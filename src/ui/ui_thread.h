// The control panel's thread, as the Windows entry hands it to the server.
#pragma once
#include "app/application.h"
#include "ui/link_code_window.h"

namespace qc {

// Starts the panel's thread unless one is active and returns at once.
int StartUiThread(Application& app);
// Blocks until the latest panel thread has ended.
void WaitForUiThread(Application& app);
// Ends an open panel as its close box would (nothing saved) and waits for its thread.
void EndUiThread(Application& app);

// The three above, as the server takes them, with the QR code window the notification
// icon opens.
inline Panel ControlPanelThread() {
  return Panel{StartUiThread, WaitForUiThread, EndUiThread, ui::MakeLinkCodeView};
}

}  // namespace qc
