// The native entry: a Linux command (cli/native_command.h) around the same server.
// It makes the system's services the program uses, once, and hands them down.
#include "cli/native_command.h"
#include "platform/services.h"

int main(int argc, char** argv) {
  return qc::cli::RunCommand(argc, argv, qc::platform::SystemServices());
}
