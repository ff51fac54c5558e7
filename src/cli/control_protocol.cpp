#include "cli/control_protocol.h"

#include "platform/control_channel.h"

namespace qc::cli {

namespace {

// version, type, payload length
constexpr std::size_t kRequestHeadSize = 6;
// mark, version, status, payload length
constexpr std::size_t kReplyHeadSize = 7;

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// Requests and replies share one layout: a mark, two bytes, the payload's length, the payload.
std::string Frame(char mark, std::uint8_t first, std::uint8_t second,
                  const std::vector<std::string>& fields) {
  const std::string payload = EncodeFields(fields);
  std::string out{mark, static_cast<char>(first), static_cast<char>(second)};
  PutU32(out, static_cast<std::uint32_t>(payload.size()));
  return out + payload;
}

std::string Unsupported(std::string text) {
  return EncodeReply(ControlReply{ReplyStatus::Unsupported, {std::move(text)}});
}

// Reads a request's head and payload. A version it does not speak is refused on its head:
// the layout after the version byte may differ, so nothing more is read.
platform::RequestRead ReadRequest(const platform::RequestBytes& read) {
  using Kind = platform::RequestRead::Kind;
  unsigned char head[kRequestHeadSize];
  if (!read(head, sizeof head)) return {Kind::Drop, {}};
  if (head[0] != kControlProtocolVersion) {
    return {
        Kind::Answer,
        Unsupported("the server understands control requests of version " +
                    std::to_string(kControlProtocolVersion) + ", not " + std::to_string(head[0]) +
                    "; use the quillcast command of the same version as the server")};
  }
  const std::uint32_t length = GetU32(head + 2);
  if (length > kMaxControlPayload) return {Kind::Answer, Unsupported("the request is too large")};
  std::string request(reinterpret_cast<char*>(head), sizeof head);
  request.resize(sizeof head + length);
  if (!read(request.data() + sizeof head, length)) return {Kind::Drop, {}};
  return {Kind::Serve, std::move(request)};
}

std::string ServeRequest(const CommandHandler& handler, const std::string& request) {
  std::vector<std::string> fields;
  if (!DecodeFields(std::string_view(request).substr(kRequestHeadSize), fields)) {
    return Unsupported("the request is malformed");
  }
  return EncodeReply(handler(static_cast<CommandType>(request[1]), fields));
}

// The server's answer on `connection`, once the request has gone out.
ExchangeResult ReadReply(platform::ControlConnection& connection, ControlReply& reply,
                         int timeoutMs) {
  unsigned char head[kReplyHeadSize];
  bool timedOut = false;
  const std::size_t got =
      connection.Read(reinterpret_cast<char*>(head), sizeof head, timeoutMs, &timedOut);
  if (timedOut) return ExchangeResult::TimedOut;
  // The first byte tells an old server (closes at once) from a busy one (no byte yet).
  if (got < sizeof head) return got == 0 ? ExchangeResult::NoAnswer : ExchangeResult::BadAnswer;
  const std::uint32_t length = GetU32(head + 3);
  if (head[0] != static_cast<unsigned char>(kReplyMark) || head[2] > 2 ||
      length > kMaxControlPayload) {
    return ExchangeResult::BadAnswer;
  }
  std::string payload(length, '\0');
  if (connection.Read(payload.data(), length, timeoutMs) != length ||
      !DecodeFields(payload, reply.fields)) {
    return ExchangeResult::BadAnswer;
  }
  reply.status = static_cast<ReplyStatus>(head[2]);
  return ExchangeResult::Answered;
}

}  // namespace

std::string EncodeFields(const std::vector<std::string>& fields) {
  std::string out;
  for (const std::string& field : fields) {
    PutU32(out, static_cast<std::uint32_t>(field.size()));
    out += field;
  }
  return out;
}

bool DecodeFields(std::string_view bytes, std::vector<std::string>& fields) {
  fields.clear();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) return false;
    const std::uint32_t length = GetU32(reinterpret_cast<const unsigned char*>(bytes.data() + pos));
    pos += 4;
    if (length > bytes.size() - pos) return false;
    fields.emplace_back(bytes.substr(pos, length));
    pos += length;
  }
  return true;
}

std::string EncodeRequest(std::uint8_t version, char type, const std::vector<std::string>& fields) {
  return Frame(platform::kAnsweredRequestMark, version, static_cast<std::uint8_t>(type), fields);
}

std::string EncodeReply(const ControlReply& reply) {
  return Frame(kReplyMark, kControlProtocolVersion, static_cast<std::uint8_t>(reply.status),
               reply.fields);
}

platform::AnsweredRequests CommandRequests(CommandHandler handler) {
  if (!handler) return {};
  return platform::AnsweredRequests{
      ReadRequest,
      [handler = std::move(handler)](const std::string& request) {
        return ServeRequest(handler, request);
      },
      [] {
        return EncodeReply(ControlReply{ReplyStatus::Failed, {"the server is stopping"}});
      }};
}

ExchangeResult ExchangeRaw(const std::string& request, ControlReply& reply, int timeoutMs) {
  platform::ControlConnection connection;
  if (!connection.Open()) return ExchangeResult::NotRunning;
  return connection.Write(request, timeoutMs) ? ReadReply(connection, reply, timeoutMs)
                                              : ExchangeResult::NoAnswer;
}

ExchangeResult ExchangeCommand(CommandType type, const std::vector<std::string>& fields,
                               ControlReply& reply, int timeoutMs) {
  return ExchangeRaw(EncodeRequest(kControlProtocolVersion, static_cast<char>(type), fields), reply,
                     timeoutMs);
}

}  // namespace qc::cli
