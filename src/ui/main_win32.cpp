// The Windows entry: a GUI-subsystem program, so no console window opens; the tail comes
// from the whole command line exactly as the system keeps it (in UTF-16, taken as UTF-8).
// The instance handle is the module's own (GetModuleHandleA(nullptr) gives the same value
// wherever it is needed). It stands on top, beside the panel it hands to the server, and
// makes the system's services the program uses, once.
#include "app/command_line.h"
#include "app/server.h"
#include "platform/codepage.h"
#include "platform/os_windows.h"
#include "platform/services.h"
#include "ui/ui_thread.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The wide command line: the ANSI one has already lost what the code page cannot hold
  // ("??.txt" for a Japanese name under an English system).
  const std::string commandLine = qc::platform::WideToUtf8(GetCommandLineW());
  return qc::RunEntry(qc::CommandLineTail(commandLine.c_str()), qc::ControlPanelThread(),
                      qc::platform::SystemServices());
}
