// What the shared test support asks of the system it runs on; tests/unit/support_posix.cpp
// and support_win32.cpp answer, one per build, and socket_support.cpp the socket calls
// both systems spell alike.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace qc::tests {

unsigned long CurrentProcessId();
// True while a process with this id runs (also when it is another user's).
bool ProcessIsRunning(unsigned long pid);
// The blocking calls of this socket return (with an error) once `limit` has passed.
void SetSocketTimeLimit(platform::socket_t s, std::chrono::milliseconds limit);
// A blocking client socket connected to 127.0.0.1:`port`, or kInvalidSocket. With
// `source` (an IPv4 address in host byte order, such as 0x7F000002 for 127.0.0.2; every
// 127.x.y.z is the machine's own) the client comes from that address.
platform::socket_t ConnectLoopback(std::uint16_t port, std::uint32_t source = 0);
// The port `s` is bound to; 0 when it cannot be read.
std::uint16_t LocalPort(platform::socket_t s);
// A port nothing holds just now, outside the ephemeral ranges, not handed out before in
// this process; 0 when none could be had.
std::uint16_t FreePort();
// A port another listener holds, for tests of a start that cannot bind; given back, with
// the socket library, when the holder goes.
class HeldPort {
 public:
  HeldPort();
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  bool Listening() const { return port_ != 0; }
  std::uint16_t Port() const { return port_; }

 private:
  platform::socket_t socket_;
  std::uint16_t port_ = 0;
};
// The system's word for a port another listener holds, as a failed bind reports it, and
// for a few other socket failures, as SocketErrorOf names them.
struct NamedSocketError {
  int code;
  const char* described;  // platform::Describe of it
};
extern const NamedSocketError kAddressInUse;
extern const NamedSocketError kNamedSocketErrors[];
extern const std::size_t kNamedSocketErrorCount;

// The system's codes (errno natively, GetLastError on Windows) of the file failures the
// save tests provoke, as platform::FileError carries them.
struct FileErrorCodes {
  int diskFull;        // a write on a full disk
  int syncFailed;      // a sync the disk did not confirm
  int heldElsewhere;   // an exclusive open while another opener holds the file
  int folderInTheWay;  // a write open of a name that is a folder
};
extern const FileErrorCodes kFileErrorCodes;

// Sends one datagram of `bytes` to 127.0.0.1:`port` from a socket of its own, as any
// local program could. False when it could not be sent.
bool SendLoopbackDatagram(std::uint16_t port, const std::string& bytes);
// Sets the file's modification time, seconds and nanoseconds since 1970 (UTC), to the
// resolution the system keeps: std::filesystem::last_write_time keeps whole seconds on
// Windows, too coarse for the tests of the entity tag.
bool SetModifiedTime(const std::string& path, std::int64_t seconds, std::int32_t nanoseconds);

}  // namespace qc::tests
