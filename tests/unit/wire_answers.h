// The answers as they must appear on the wire, written out here rather than taken from
// the server's own texts so that a changed byte there shows up; and the requests and file
// contents the writer and connection tests build them from. The validator lines of a file
// come from the formatting that test_validators.cpp pins against known values.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "http/request_parser.h"
#include "http/validators.h"
#include "platform/file.h"

namespace qc::tests::wire {

inline const std::string kNotFoundPage =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 198\r\n\r\n"
    "<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>The requested URL was not found on this server.</p>\n"
    "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>";
inline const std::string kBadRequestPage =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 184\r\n\r\n"
    "<html><head><title>400 Bad Request</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>Invalid request or syntax error</p>\n"
    "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>";
inline const std::string kShortBadRequest = "HTTP/1.1 400 Bad Request\r\n";
inline const std::string kCommonLines =
    "Server: Quillcast/1.0.0\r\nAccept-Ranges: bytes\r\nContent-Type: application/octet-stream\r\n";
inline const std::string kClose = "Connection: close\r\n";
inline const std::string kKeepAlive = "Connection: Keep-Alive\r\n";

// The file's validators as they stand now: ETag alone when the date cannot be written.
inline std::string ValidatorLinesOf(const platform::FileVersion& version) {
  const qc::Validators v = ValidatorsOf(version);
  return (v.lastModified ? "Last-Modified: " + *v.lastModified + "\r\n" : std::string()) +
         "ETag: " + v.entityTag + "\r\n";
}
inline std::string ValidatorLines(const std::string& path) {
  const platform::File file = platform::File::OpenSharedRead(path);
  const std::optional<platform::FileVersion> version = file.Version();
  return version ? ValidatorLinesOf(*version) : "(no version of " + path + ")";
}

// The heads of the file answers; `validators` are the file's ValidatorLines.
inline std::string Head200(std::int64_t size, const std::string& validators,
                           const std::string& connection = kClose) {
  return "HTTP/1.1 200 OK\r\n" + kCommonLines + validators +
         "Content-Length: " + std::to_string(size) + "\r\n" + connection + "\r\n";
}

inline std::string Head206(std::int64_t first, std::int64_t last, std::int64_t size,
                           const std::string& validators, const std::string& connection = kClose) {
  return "HTTP/1.1 206 Partial Content\r\n" + kCommonLines + validators + "Content-Range: bytes " +
         std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size) +
         "\r\nContent-Length: " + std::to_string(last - first + 1) + "\r\n" + connection + "\r\n";
}

inline std::string Head304(const std::string& validators, const std::string& connection = kClose) {
  return "HTTP/1.1 304 Not Modified\r\nServer: Quillcast/1.0.0\r\n" + validators + connection +
         "\r\n";
}

// A file's bytes: a pattern that repeats every 251 bytes, so that a piece sent from the
// wrong offset never matches.
inline std::string Content(std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (std::int64_t i = 0; i < size; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<char>(i % 251);
  return bytes;
}

// A GET of `path`, with a Range of `range` when given; `mode` 1 asks to close, 2 for
// keep-alive; `line`, when given, is one more header line.
inline Request ParsedRequest(const std::string& path, const std::string& range, int mode = 0,
                             const std::string& line = "") {
  std::string head = "GET " + path + " HTTP/1.1\r\n";
  if (!range.empty()) head += "Range: bytes=" + range + "\r\n";
  if (mode == 1) head += "Connection: close\r\n";
  if (mode == 2) head += "Connection: keep-alive\r\n";
  if (!line.empty()) head += line + "\r\n";
  head += "\r\n";
  return ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
}

}  // namespace qc::tests::wire
