// The entry and the server's life: start in order, serve, stop in order.
#pragma once
#include <chrono>
#include <string>

#include "app/application.h"
#include "platform/services.h"
#include "platform/socket.h"

namespace qc {

// The listen backlog that asks the socket layer for its longest queue.
inline constexpr int kListenBacklog = 0x7FFFFFFF;

// PortInvalid: the stored port is 0, which the system would replace by a random one while
// every link names port 0.
enum class StartResult { Running, Refused, LockFailed, BindFailed, ListenFailed, PortInvalid };

// What a start came to, with the system's own word on a socket call that failed (the
// socket, the bind or the listen), for whoever tells the user; code 0 for the others.
struct StartOutcome {
  StartResult result = StartResult::Running;
  platform::SocketError error;
};

// The start up to a running accept thread: single instance, the named locks, settings, start-up
// directory, sockets, bind, listen, connections emptied, shares loaded, accept thread.
// A start that does not get there has closed its socket and stopped the socket library
// itself; the single-instance lock stays with `app.instance` (released with it, or by
// Release), so callers only report.
StartOutcome StartServer(Application& app);
// What the server does when a download withdraws a one-shot share (the registry's
// withdrawal listener, on the connection's thread): "shared.cfg" in the start-up directory
// rewritten at once, so that a restart or a crash keeps the share withdrawn; a failure is
// told without holding the connection.
// How often downloads.cfg is written at most while downloads of shares without a limit
// complete; the first count after a quiet second is written at once.
inline constexpr std::chrono::milliseconds kDownloadsWriteInterval{1000};
// Writes downloads.cfg from the registry (after a counted download, a new share's limits).
// On a connection thread too: a failure is told aside, once until a write succeeds.
bool StoreDownloadCounts(Application& app);
void StoreWithdrawal(Application& app);
// The stop sequence: every connection closed and awaited, the listener closed, sockets
// cleaned up, the single-instance lock released.
void StopServer(Application& app);

// The environment variable that shortens (or lengthens) the head time limit, in whole
// seconds: the end-to-end tests wait it out, and an operator may want it tighter.
inline constexpr char kHeadLimitVariable[] = "QUILLCAST_HEAD_LIMIT";
// The head time limit `value` (the variable's text, or null) asks for: 1 to 3600 seconds;
// anything else leaves the default.
std::chrono::milliseconds HeadTimeLimitFrom(const char* value);

// The server role from start to stop, failure paths included. Returns 1.
int RunServer(Application& app);
// Chooses the role from the command-line tail (UTF-8: the Windows entry reads the wide
// command line) and runs it, the server with `panel`, every role with the `services` the
// entry made. Returns 1 on every path.
int RunEntry(const std::string& tail, const Panel& panel, const platform::Services& services);

}  // namespace qc
