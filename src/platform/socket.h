// Blocking IPv4 TCP sockets reduced to what the server needs. Winsock and BSD sockets
// differ only behind this header.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_types.h"

namespace qc::platform {

extern const socket_t kInvalidSocket;

// WSAStartup(2.2) / WSACleanup on Windows. On POSIX it makes SIGPIPE harmless and raises
// the soft limit of descriptors to the hard one: a desktop session starts programs with
// 1,024, which about 500 connections fill, while the hard limit is far higher; the
// connection budget (ClientConnectionBudget) follows the raised limit.
bool SocketLibraryStart();
void SocketLibraryStop();

// A socket call's failure as the system numbered and named it, carried to the floor that
// tells the user: natively errno and its text, on Windows the Winsock code and its name.
struct SocketError {
  int code = 0;  // 0: no failure
  std::string name;
};
// Names `code` (an errno value natively, a WSAGetLastError value on Windows).
SocketError SocketErrorOf(int code);
// "Address already in use (98)", "WSAEADDRINUSE (10048)".
inline std::string Describe(const SocketError& error) {
  return error.name + " (" + std::to_string(error.code) + ")";
}

// `error`, when given, receives the failure of each of these three calls.
socket_t CreateTcpSocket(SocketError* error = nullptr);
// Binds to all interfaces (INADDR_ANY) on `port`. A port another program listens on
// fails here. Windows sets no socket option; POSIX sets SO_REUSEADDR only so that a restart
// is not refused by the previous run's closed connections (see the POSIX side).
bool BindAnyAddress(socket_t s, std::uint16_t port, SocketError* error = nullptr);
// Binds to one IPv4 address (host byte order), for clients that must come from it.
bool BindIPv4(socket_t s, std::uint32_t address, std::uint16_t port);
bool Listen(socket_t s, int backlog, SocketError* error = nullptr);
// On failure returns kInvalidSocket and, when `error` is given, the system's error code.
// The socket is for PrepareConnectionSocket: on Windows it may still be non-blocking, as
// the listener is. `peer`, when given, receives the client's IPv4 address in host byte
// order (0 when the system did not tell): taken here, it is known even once the client
// has gone, and costs no call of its own.
socket_t Accept(socket_t listener, int* error = nullptr, std::uint32_t* peer = nullptr);
// True for accept failures that say nothing about the listening socket itself: out of
// descriptors, handles, buffers or memory, a connection reset or aborted before it was
// accepted, an interrupted call. Retrying after a pause serves the next client.
bool IsTransientAcceptError(int error);
// How many client connections may be open at once, all addresses together, so that
// accepting them never takes what the server itself needs. `worstBytes`: what one
// connection may hold in memory at worst (a head as long as allowed, and its records).
// POSIX: descriptors are few (RLIMIT_NOFILE, often 1024), and a connection waiting for its
// head holds one but needs a second for the file it serves once the head is whole; the
// server keeps some for itself (the control channel, its files, the standard streams) and
// connections get half of the rest. A connection waiting for its head costs no thread
// there, so the descriptors alone would let a crowd of long heads take any amount of
// memory: the budget also keeps what they may hold at worst within an eighth of the
// machine's memory. Windows has no such small limit (a process may hold millions of
// handles), and the memory alone sets it there.
std::size_t ClientConnectionBudget(std::size_t worstBytes);
// Returns bytes received, 0 when the peer closed, -1 on error.
long long Receive(socket_t s, char* buffer, std::size_t size);
// Returns bytes sent or -1 on error. Never raises SIGPIPE.
long long Send(socket_t s, const char* data, std::size_t size);
// False when the connection is no longer there to shut down (the peer reset it).
bool ShutdownSend(socket_t s);

// Connection sockets send with TCP_NODELAY: an answer leaves in few sends, and its last
// segment must not wait for the client's delayed acknowledgement of the previous one.
// Connection sockets: their thread must end promptly when the server stops, even while a
// send waits for a client that does not read. Windows (and Wine) do not reliably wake a
// blocked send when another thread closes the socket, so there the socket is made
// non-blocking and waits are sliced, with `stop` looked at between slices. POSIX keeps
// plain blocking calls: WakeConnection's shutdown wakes them.
//
// `sendStallLimit` bounds how long one send may wait without any byte going out. POSIX
// sets it on the socket itself (SO_SNDTIMEO), so every send call on it, whatever path
// issues it, ends with EAGAIN after that long without progress; Windows checks it between
// the slices of SendUnlessStopped.
void PrepareConnectionSocket(socket_t s, std::chrono::milliseconds sendStallLimit);
// Sets on the listening socket what PrepareConnectionSocket sets on each connection, where
// the system copies it to every socket the listener accepts (Linux copies both the send
// time limit and TCP_NODELAY), saving two system calls per connection. True when it did:
// the accepted sockets then need no PrepareConnectionSocket. Windows: TCP_NODELAY on a
// listener made non-blocking by Listen (accepted sockets inherit both; the send stall limit
// is checked between send slices there, not set on the socket).
bool PrepareAcceptedSockets(socket_t listener, std::chrono::milliseconds sendStallLimit);
// What wakes a connection's receive wait at the stop without a periodic look: on Windows
// an event the wait includes beside the socket, so thousands of idle connections cost no
// wake-ups (under Wine every sliced wait is a round trip to the wineserver). It is made by
// the first wait that needs one: most connections find their head there already and never
// wait, and an event made and closed for each would cost two round trips of the twenty-odd
// a small answer takes under Wine. POSIX: never made, as the shutdown in WakeConnection ends
// the wait. Only the connection's own thread makes it; SignalWakeEvent, from the stop's
// thread after it has set `stop`, signals it if it exists by then, and a wait that makes it
// afterwards looks at `stop` before it waits.
using WakeEvent = std::atomic<std::uintptr_t>;
void SignalWakeEvent(WakeEvent& wake);
void CloseWakeEvent(WakeEvent& wake);
// As Receive; -1 also once `stop` is set (and `wake` signalled) or when nothing arrived
// before `deadline`. Without `wake` (Windows) the wait is sliced instead.
long long ReceiveUnlessStopped(socket_t s, char* buffer, std::size_t size,
                               const std::atomic<bool>& stop,
                               std::chrono::steady_clock::time_point deadline,
                               WakeEvent* wake = nullptr);
// After the sending direction was shut down: reads and drops what the peer still sends,
// up to `byteLimit` bytes, until it closes, `deadline` passes or `stop` is set, so that
// the close that follows finds nothing unread (which would reset the connection and could
// cut the answer short in the peer's buffer). Windows waits in the stop's slices, with no
// event: the peer has mostly closed by the first receive already, and making and
// selecting an event for the rare wait cost ten round trips to wineserver under Wine.
// How it ended: a reset tells that the peer closed with bytes of ours still unread in its
// own buffer (it gave up, or another connection took over the rest), though its system
// had acknowledged them all. With `deadline` already passed it never waits: what has
// arrived so far, before the shutdown too (StillOpen: nothing more yet). `droppedBytes`,
// when given, receives the count of bytes read and dropped.
enum class DrainEnd {
  Closed,    // the peer closed in order
  Reset,     // the connection was reset (or the receive failed)
  StillOpen  // the deadline, the byte limit or `stop` came first
};
DrainEnd DrainUntilClosed(socket_t s, const std::atomic<bool>& stop,
                          std::chrono::steady_clock::time_point deadline, long long byteLimit,
                          long long* droppedBytes = nullptr);
// As Send; -1 also once `stop` is set or when no byte could go out for `stallLimit`.
long long SendUnlessStopped(socket_t s, const char* data, std::size_t size,
                            const std::atomic<bool>& stop, std::chrono::milliseconds stallLimit);
// Sends `count` bytes of the open file `file` (File::NativeHandle) from `offset` with the
// system's zero-copy call, without moving the file position. Returns the count that went
// out: `count`, or less when the file ended first, a send failed or `stop` was set (the
// bytes sent before count, so that a broken download is logged with what it got); or
// kFileSendUnsupported, having sent nothing, where there is no such call for this file or
// socket: the caller then reads and sends.
inline constexpr long long kFileSendUnsupported = -2;
long long SendFileUnlessStopped(socket_t s, std::intptr_t file, std::int64_t offset,
                                std::int64_t count, const std::atomic<bool>& stop);
// Returns true once every byte sent on `s` so far has left the machine and been
// acknowledged by the peer; false when the peer is gone (reset, closed), `stop` is set, or
// the bytes still waiting have not shrunk for `stallLimit`. Polled with a short pause that
// grows, so a fast client is seen at once and a slow one costs few wake-ups. Linux: the
// socket's output queue (SIOCOUTQ) is empty and the connection still established.
// Windows: see win32/socket.cpp for what the system and Wine offer. `moreFollows`: false
// when nothing else will be sent on `s`; Windows then leaves its send buffer as the wait
// set it, and does not tell a reset from a delivery (a reset empties the queue as well):
// the caller must, from ShutdownSend's result. Under Wine that is five round trips to
// wineserver less per answer.
bool WaitUntilAcknowledged(socket_t s, const std::atomic<bool>& stop,
                           std::chrono::milliseconds stallLimit, bool moreFollows);
// Whether WaitUntilAcknowledged, with `moreFollows` false, also tells a delivery after this
// side's shutdown (its end, the FIN, then counts among the bytes to acknowledge). Linux:
// yes, and the last piece's shutdown goes first, so that the client sees the answer's end
// as soon as it has read it instead of once this side has seen the acknowledgement.
// Windows: no (the wait needs the socket writable, which a shut socket no longer tells).
bool AcknowledgedAfterShutdown();
// Called after `stop` is set, from another thread: shuts the sending direction down (and
// on POSIX the receiving one too, which wakes the blocked call). The socket stays open
// for its own thread to close.
void WakeConnection(socket_t s);
// Wakes every thread blocked in Accept on the listening socket `s`, for good: every later
// Accept on it fails at once. Returns true when the handle was released by doing so,
// false when it stays open for its owner to close once the accepting threads have ended
// (POSIX shuts it down; Windows sends a byte to the wake socket its Accept selects on
// beside the listener, so the handle cannot be reused under the feet of a waiting thread).
bool InterruptSocket(socket_t s);
void CloseSocket(socket_t s);
// The loopback port of the socket that wakes the listening socket `s` where there is one
// (Windows), else 0: where a stranger on this machine could send it datagrams.
std::uint16_t ListenerWakePort(socket_t s);

}  // namespace qc::platform
