// The native build's own side of the control channel: where it lives (the runtime
// directory, refused unless it is the user's alone) and the versioned requests that carry
// an answer back.
//
// Every client connection carries one request. The first byte tells its kind:
//   'X' stop, 'P' panel, 'S' share (2-byte length, path): the one-way requests every
//       version understands; nothing is answered.
//   'V' a versioned request: a version byte, a type byte, a 4-byte little-endian payload
//       length and the payload. The server answers 'R', the version it speaks, a status
//       byte, a 4-byte length and the reply payload, then closes.
// Payloads are lists of fields, each a 4-byte little-endian length and its bytes. A server
// that does not know the version or the type answers kUnsupported with a message instead
// of guessing; a server older than the versioned requests closes without an answer, which
// the client reports as such.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qc::platform {

inline constexpr char kVersionedRequest = 'V';
inline constexpr char kReplyMark = 'R';
inline constexpr std::uint8_t kControlProtocolVersion = 1;
// A request or reply larger than this is refused: no share list or path comes near it, and
// a bound keeps a confused peer from making the other side allocate without end.
inline constexpr std::uint32_t kMaxControlPayload = 16u << 20;

enum class CommandType : char { Share = 'S', List = 'L', Unshare = 'U', Config = 'C' };
enum class ReplyStatus : std::uint8_t { Ok = 0, Failed = 1, Unsupported = 2 };

struct ControlReply {
  ReplyStatus status = ReplyStatus::Failed;
  std::vector<std::string> fields;
};

std::string EncodeFields(const std::vector<std::string>& fields);
// False when the bytes are not a whole list of fields.
bool DecodeFields(std::string_view bytes, std::vector<std::string>& fields);
std::string EncodeRequest(std::uint8_t version, char type, const std::vector<std::string>& fields);

// The server's handler of versioned requests; runs on the thread that waits on the
// channel, between the other requests, and answers a type it does not know kUnsupported.
// Without one, every versioned request is answered kUnsupported.
using CommandHandler = std::function<ControlReply(CommandType type, const std::vector<std::string>& fields)>;
void SetCommandHandler(CommandHandler handler);

enum class ExchangeResult {
  Answered,   // `reply` holds the server's answer
  NotRunning, // nothing listens on the socket
  NoAnswer,   // the server closed without answering: older than the versioned requests
  BadAnswer,  // an answer that is not one (cut short, another version's layout)
  TimedOut,   // no answer within the time limit
};
ExchangeResult ExchangeCommand(CommandType type, const std::vector<std::string>& fields,
                               ControlReply& reply, int timeoutMs);
// The raw exchange, for tests that speak another version.
ExchangeResult ExchangeRaw(const std::string& request, ControlReply& reply, int timeoutMs);

}  // namespace qc::platform
