#include "cli/native_command.h"

#include <string>
#include <vector>

#include "cli/client_commands.h"
#include "cli/command_output.h"
#include "cli/native_server.h"
#include "cli/options.h"
#include "platform/runtime_directory.h"
#include "platform/socket.h"
#include "quillcast_version.h"

namespace qc::cli {

int RunCommand(int argc, char** argv, const platform::Services& services) {
  // A reader that went away (a closed pipe on the request log or on a listing) must not
  // end the program: the socket layer's start makes that harmless for every write.
  platform::SocketLibraryStart();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const Invocation invocation = ParseArguments(args);
  switch (invocation.action) {
    case Action::Help:
      Print(UsageText());
      return kExitOk;
    case Action::Version:
      Print("quillcast " QC_VERSION_TEXT "\n");
      return kExitOk;
    case Action::Usage:
      Error(invocation.error + "\nTry \"quillcast --help\".");
      return kExitUsage;
    case Action::Qr:
      // A link given whole needs no server, nor the runtime directory.
      if (LooksLikeLink(invocation.operands.front())) return ShowQrCode(invocation);
      break;
    default:
      break;
  }
  std::string problem;
  if (!platform::RuntimeDirectory(&problem)) {
    Error("cannot use the runtime directory: " + problem +
          ".\nIt holds the control socket, so it must be a directory of your own that no one "
          "else can write to; set XDG_RUNTIME_DIR to one, or fix it (chmod 700).");
    return kExitFailed;
  }
  switch (invocation.action) {
    case Action::Serve:
      return RunNativeServer(invocation.quiet, services);
    case Action::Share:
      return ShareFiles(invocation);
    case Action::Stop:
      return Stop();
    case Action::List:
      return ListShares(services);
    case Action::Unshare:
      return Unshare(services, invocation.operands);
    case Action::Config:
      return Configure(services, invocation.operands);
    case Action::Qr:
      return ShowQrCode(invocation);
    default:
      return kExitUsage;
  }
}

}  // namespace qc::cli
