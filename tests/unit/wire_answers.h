// The answers as they must appear on the wire, written out here rather than taken from
// the server's own texts so that a changed byte there shows up; and the requests and file
// contents the writer and connection tests build them from. The validator lines of a file
// come from the formatting that test_validators.cpp pins against known values.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/request_parser.h"
#include "http/validators.h"
#include "platform/file.h"

namespace qc::tests::wire {

// Every answer carries the time it was sent. The answers below hold this line in its
// place; what a test receives is compared after Dated() has checked its real date and put
// this line there instead.
inline const std::string kDateLine = "Date: (checked)\r\n";

// How far the date of an answer may lie from the test's own clock: the answer was made a
// moment ago, on the same machine.
inline constexpr std::int64_t kDateSlackSeconds = 5;

// `answer` with the value of the Date line of its head replaced by kDateLine's, once that
// value has been found to be a date in the IMF-fixdate form within kDateSlackSeconds of
// now; otherwise unchanged, and the reason in `problem`. An empty answer (closed without
// one) has nothing to check.
inline std::string MarkDate(std::string answer, std::string* problem) {
  if (answer.empty()) return answer;
  const std::size_t headEnd = answer.find("\r\n\r\n");
  const std::size_t at = answer.find("\r\nDate: ");
  if (headEnd == std::string::npos || at == std::string::npos || at > headEnd) {
    *problem = "no Date line in the head";
    return answer;
  }
  const std::size_t value = at + 8;
  const std::size_t end = answer.find("\r\n", value);
  const std::string text = answer.substr(value, end - value);
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const std::optional<std::int64_t> date = ParseHttpDate(text, now);
  if (!date || FormatHttpDate(*date) != text || *date < now - kDateSlackSeconds ||
      *date > now + kDateSlackSeconds) {
    *problem = "the Date \"" + text + "\" is not now in the IMF-fixdate form";
    return answer;
  }
  answer.replace(at + 2, end + 2 - (at + 2), kDateLine);
  return answer;
}

// The same for a test to compare: a missing or wrong date fails the test.
inline std::string Dated(std::string answer) {
  std::string problem;
  std::string marked = MarkDate(std::move(answer), &problem);
  if (!problem.empty()) ADD_FAILURE() << problem;
  return marked;
}

// The pages: status, date, length, connection, then the body.
inline std::string Page(const std::string& status, const std::string& lines,
                        const std::string& body) {
  return status + kDateLine + lines + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}
inline const std::string kNotFoundPage =
    Page("HTTP/1.1 404 Not Found\r\n", "",
         "<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
         "<p>The requested URL was not found on this server.</p>\n"
         "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>");
inline const std::string kBadRequestPage =
    Page("HTTP/1.1 400 Bad Request\r\n", "",
         "<html><head><title>400 Bad Request</title></head>\n<body>\n<h1>Not Found</h1>\n"
         "<p>Invalid request or syntax error</p>\n"
         "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>");
inline const std::string kPreconditionFailedPage =
    Page("HTTP/1.1 412 Precondition Failed\r\n", "",
         "<html><head><title>412 Precondition Failed</title></head>\n<body>\n"
         "<h1>Precondition Failed</h1>\n<p>The file is not the version the request names.</p>\n"
         "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>");
inline const std::string kBusyPage =
    Page("HTTP/1.1 503 Service Unavailable\r\n", "Retry-After: 30\r\n",
         "<html><head><title>503 Service Unavailable</title></head>\n<body>\n"
         "<h1>Service Unavailable</h1>\n<p>This link is being downloaded right now. It can be "
         "downloaded once only; try again later in case that download does not finish.</p>\n"
         "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>");
// A range outside a file of `size` bytes.
inline std::string RangeNotSatisfiable(std::int64_t size) {
  return Page("HTTP/1.1 416 Range Not Satisfiable\r\n",
              "Content-Range: bytes */" + std::to_string(size) + "\r\n",
              "<html><head><title>416 Range Not Satisfiable</title></head>\n<body>\n"
              "<h1>Range Not Satisfiable</h1>\n<p>The requested range lies outside the file.</p>\n"
              "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>");
}
// A page's head alone, as HEAD gets it.
inline std::string HeadOf(const std::string& page) {
  return page.substr(0, page.find("\r\n\r\n") + 4);
}
inline const std::string kCommonLines = "Server: Quillcast/1.0.0\r\n" + kDateLine +
                                        "Accept-Ranges: bytes\r\nContent-Type: "
                                        "application/octet-stream\r\n";
inline const std::string kClose = "Connection: close\r\n";

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
inline std::string Head200(std::int64_t size, const std::string& validators) {
  return "HTTP/1.1 200 OK\r\n" + kCommonLines + validators +
         "Content-Length: " + std::to_string(size) + "\r\n" + kClose + "\r\n";
}

inline std::string Head206(std::int64_t first, std::int64_t last, std::int64_t size,
                           const std::string& validators) {
  return "HTTP/1.1 206 Partial Content\r\n" + kCommonLines + validators + "Content-Range: bytes " +
         std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size) +
         "\r\nContent-Length: " + std::to_string(last - first + 1) + "\r\n" + kClose + "\r\n";
}

inline std::string Head304(const std::string& validators) {
  return "HTTP/1.1 304 Not Modified\r\nServer: Quillcast/1.0.0\r\n" + kDateLine + validators +
         kClose + "\r\n";
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
