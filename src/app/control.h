// Both sides of the control channel: the server's wait loop and share handler, and the
// one-request clients a second instance runs.
#pragma once
#include <cstdint>
#include <string>

#include "app/application.h"
#include "platform/control_channel.h"

namespace qc {

enum class WaitAction { EndLoop, Share, Panel, WaitAgain };
// What the wait loop does with a raw wait result.
WaitAction ClassifyWaitResult(std::uint32_t result);

// Sets the channel up and serves requests until a stop; 0 when the set-up failed.
int RunControlChannel(Application& app);
int RunControlChannel(Application& app, platform::ControlServer& server);

// Serves one command-line share whose path has been copied out of the block.
void HandleShareRequest(Application& app, const std::string& physicalPath);

int SendStopRequest();
int SendPanelRequest();
// A relative path is made absolute first on the native build, where no shell entry
// passes full paths.
int SendShareRequest(const std::string& path);

}  // namespace qc
