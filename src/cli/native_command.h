// The native program: the command line of a Linux user (files to share, -list, -unshare,
// -config, -stop, -qr, --help, --version), dispatched to the client commands
// (client_commands.h) or to the server role (native_server.h).
#pragma once
#include "platform/services.h"

namespace qc::cli {

// The whole program, with the system's `services` the entry made; returns the exit status.
int RunCommand(int argc, char** argv, const platform::Services& services);

}  // namespace qc::cli
