// The native entry: a Linux command (cli/native_command.h) around the same server.
#include "cli/native_command.h"

int main(int argc, char** argv) { return qc::cli::RunCommand(argc, argv); }
