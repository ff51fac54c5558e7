// The channel between a remote-control instance and the running server. Windows: three
// named auto-reset events and the 5120-byte named mapping. Native: a Unix-domain socket in
// the runtime directory that carries the same three requests and the same block, and
// requests that carry an answer, whose bytes the channel carries without reading them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

constexpr std::uint32_t kControlBlockSize = 5120;
constexpr std::uint32_t kMaxControlPath = kControlBlockSize - 2;

enum class ControlSetup {
  Ok,
  ChannelFailed,  // the requests cannot be received (no events, no socket)
  BlockFailed,    // the block that carries a share's path cannot be made
  BlockUnusable,  // the block exists but cannot be reached
};

// What a wait brought. Failed: the channel can no longer be waited on, so the loop ends
// as on a stop. BatchEnded: the client of the latest share batch has sent all of it.
enum class ControlEvent { Stop, Share, Panel, Failed, BatchEnded };

// --- Requests that carry an answer (native channel only) ---------------------------------
// The channel knows where one starts (this mark as the connection's first byte) and
// carries bytes both ways; their layout and meaning are the command's. The Windows
// channel carries only the requests above: there no server is reached this way.
inline constexpr char kAnsweredRequestMark = 'V';

// Reads the next `size` bytes of a request, all of them by the request's time limit, or
// gives false.
using RequestBytes = std::function<bool(void* out, std::size_t size)>;

// What the command makes of one request it read.
struct RequestRead {
  enum class Kind {
    Drop,    // not a request: the client is closed without an answer
    Serve,   // `bytes` are kept and served in turn, the client waiting
    Answer,  // `bytes` are the answer, sent at once (a request refused on its head)
  };
  Kind kind = Kind::Drop;
  std::string bytes;
};

// The command's side of the answered requests, handed to the running server.
struct AnsweredRequests {
  // Reads one request after its mark.
  std::function<RequestRead(const RequestBytes& read)> read;
  // The answer to a request read earlier; runs on the thread that waits on the channel,
  // between the other requests.
  std::function<std::string(const std::string& request)> serve;
  // The answer to a request still waiting when the channel closes.
  std::function<std::string()> refuse;
};

class ControlServer {
 public:
  // `answered` serves the requests that carry an answer (natively; the Windows channel
  // carries none). Empty: every such request is closed unanswered, as a server without
  // them does.
  explicit ControlServer(AnsweredRequests answered = {});  // both defined where Impl is complete
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // `error`, when given, receives the system's code of a failure (errno natively,
  // GetLastError on Windows), read where it happened.
  ControlSetup Open(int* error = nullptr);
  // Blocks until a request arrives. Several pending requests are reported stop first, then
  // share, then panel. With `untilBatchEnds`, a wait after a share also ends with
  // BatchEnded once that share's client has let go of its batch (Windows; the native
  // channel never reports it). On Windows the wait also dispatches the waiting thread's
  // window messages, so that a window of that thread (the notification icon's) answers.
  ControlEvent Wait(bool untilBatchEnds = false);
  // The path of the share request that Wait reported, copied out of the block; lets the
  // next share client write. Call exactly once per ControlEvent::Share. `continuesBatch` (when
  // given) tells whether the request came from the same client as the one before it, as
  // the second and later files of one Send to do.
  std::string TakeSharePath(bool* continuesBatch = nullptr);
  // Drops a share request without reading the block (lets the next client write).
  void DropShareRequest();
  void Close();

 private:
  struct Impl;
  AnsweredRequests answered_;
  std::unique_ptr<Impl> impl_;  // set by Open, gone after Close
};

enum class ControlSend {
  Delivered,
  NotRunning,     // no server's channel is there
  BlockMissing,   // the block cannot be opened
  BlockUnusable,  // the block cannot be reached
  PathTooLong,    // more than kMaxControlPath bytes
  Busy,           // another share client held the block past the time limit
};

enum class ControlRequest { Stop, Panel };
ControlSend SendControlRequest(ControlRequest request);
// Several paths as one batch: the server serves them in order and knows that they belong
// together; no other client's share request comes between them. Stops at the first path
// that cannot be delivered and reports why.
ControlSend SendControlShares(const std::vector<std::string>& paths);

// True when a server's channel is set up (nothing is sent).
bool ControlServerReachable();

// How the Windows channel reads the result of a wait over its stop, share and panel events
// (in that order). None: wait again. An abandoned event or a failed wait ends the loop; the
// events are the server's own, so neither should happen, and waiting on would spin.
// Windows backend only.
std::optional<ControlEvent> ControlEventOfWait(std::uint32_t result);

// A client's connection to the running server's channel for one request that carries an
// answer.
class ControlConnection {
 public:
  ControlConnection();
  ~ControlConnection();
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  // False when no server's channel is there.
  bool Open();
  // Every byte, each within `timeoutMs` of the last one.
  bool Write(std::string_view bytes, int timeoutMs);
  // Up to `size` bytes; fewer when the server closed or stalled past `timeoutMs` (then
  // `timedOut` is set). Returns the count read.
  std::size_t Read(char* out, std::size_t size, int timeoutMs, bool* timedOut = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qc::platform
