// Both sides of the control channel: the server's wait loop and share handler, and the
// one-request clients a second instance runs.
#pragma once
#include <string>
#include <vector>

#include "app/application.h"
#include "platform/control_channel.h"
#include "platform/message.h"

namespace qc {

// Sets the channel up and serves requests until a stop; 0 when the set-up failed.
int RunControlChannel(Application& app);
int RunControlChannel(Application& app, platform::ControlServer& server);

// The command-line shares of one client's batch (one Send to with several files), whose
// URLs go onto the clipboard together.
using ShareBatch = std::vector<SharePtr>;

struct ShareNotice;
// Serves one command-line share whose path has been copied out of the block. A request
// that does not continue the batch starts a new one;
// with "Copy to clipboard" set, the clipboard then holds the URLs of every share the batch
// added so far, one per line. With `notice`, the links that went onto the clipboard and
// the texts of the messages shown are gathered there for the batch's notification.
void HandleShareRequest(Application& app, const std::string& physicalPath, bool continuesBatch,
                        ShareBatch& batch, ShareNotice* notice = nullptr);

// The one-request clients tell the user through `sink`.
int SendStopRequest(const platform::MessageSink& sink);
int SendPanelRequest(const platform::MessageSink& sink);
// Several paths as one batch, in order (Send to with several selected files). A relative
// path is made absolute first on the native build, where no shell entry passes full paths.
int SendShareRequests(const platform::MessageSink& sink, const std::vector<std::string>& paths);
// The files a share tail names (SharePathsFromTail), sent as one batch. The tail is UTF-8,
// as the Windows entry reads the wide command line: each path goes as the path of the ANSI
// code page that reaches its file (platform::AnsiPathOf), and one that none reaches is
// refused by name, so that no share is stored under a name that leads nowhere.
int SendShareRequestsFromTail(const platform::MessageSink& sink, const std::string& tail);

}  // namespace qc
