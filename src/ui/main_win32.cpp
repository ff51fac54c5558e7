// The Windows entry: a GUI-subsystem program, so no console window opens; the tail comes
// from the whole command line exactly as the system keeps it. The instance handle is the
// module's own (GetModuleHandleA(nullptr) gives the same value wherever it is needed). It
// stands on top, beside the panel it hands to the server.
#include "app/command_line.h"
#include "app/server.h"
#include "platform/os_windows.h"
#include "ui/ui_thread.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return qc::RunEntry(qc::CommandLineTail(GetCommandLineA()), qc::ControlPanelThread());
}
