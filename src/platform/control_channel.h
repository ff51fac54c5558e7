// The channel between a remote-control instance and the running server. Windows: three
// named auto-reset events and the 5120-byte named mapping. Native: a Unix-domain socket in
// the runtime directory that carries the same three requests and the same block, and
// versioned requests with answers (platform/posix/control_protocol.h).
#pragma once
#include <cstdint>
#include <string>
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

class ControlServer {
 public:
  ControlServer() = default;
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  ControlSetup Open();
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
  Impl* impl_ = nullptr;
};

enum class ControlSend {
  Delivered,
  NotRunning,      // no server's channel is there
  BlockMissing,    // the block cannot be opened
  BlockUnusable,   // the block cannot be reached
  PathTooLong,     // more than kMaxControlPath bytes
  Busy,            // another share client held the block past the time limit
};

enum class ControlRequest { Stop, Panel };
ControlSend SendControlRequest(ControlRequest request);
// Several paths as one batch: the server serves them in order and knows that they belong
// together; no other client's share request comes between them. Stops at the first path
// that cannot be delivered and reports why.
ControlSend SendControlShares(const std::vector<std::string>& paths);

// True when a server's channel is set up (nothing is sent).
bool ControlServerReachable();

}  // namespace qc::platform
