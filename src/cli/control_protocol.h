// The native command's requests that carry an answer, as they travel over the control
// channel (which only carries their bytes).
//
// A request follows the channel's mark (platform::kAnsweredRequestMark): a version byte, a
// type byte, a 4-byte little-endian payload length and the payload. The server answers
// 'R', the version it speaks, a status byte, a 4-byte length and the reply payload, then
// closes. Payloads are lists of fields, each a 4-byte little-endian length and its bytes.
// A server that does not know the version or the type answers kUnsupported with a message
// instead of guessing; a server older than these requests closes without an answer, which
// the client reports as such.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/control_channel.h"

namespace qc::cli {

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
// A whole request, the channel's mark first.
std::string EncodeRequest(std::uint8_t version, char type, const std::vector<std::string>& fields);
std::string EncodeReply(const ControlReply& reply);

// The server's handler of the requests; runs on the thread that waits on the channel,
// between the other requests, and answers a type it does not know kUnsupported.
using CommandHandler =
    std::function<ControlReply(CommandType type, const std::vector<std::string>& fields)>;
// What the running server's channel is handed (ControlServer's constructor) to serve the
// requests with `handler`; an empty handler gives nothing, so the channel answers none.
platform::AnsweredRequests CommandRequests(CommandHandler handler);

enum class ExchangeResult {
  Answered,    // `reply` holds the server's answer
  NotRunning,  // nothing listens on the socket
  NoAnswer,    // the server closed without answering: older than the versioned requests
  BadAnswer,   // an answer that is not one (cut short, another version's layout)
  TimedOut,    // no answer within the time limit
};
ExchangeResult ExchangeCommand(CommandType type, const std::vector<std::string>& fields,
                               ControlReply& reply, int timeoutMs);
// The raw exchange, for tests that speak another version.
ExchangeResult ExchangeRaw(const std::string& request, ControlReply& reply, int timeoutMs);

}  // namespace qc::cli
