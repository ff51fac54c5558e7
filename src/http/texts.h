// The server's fixed HTTP texts, byte for byte. Every line of a head ends in CR LF, as
// HTTP/1.1 asks of senders (Node.js and other llhttp-based clients refuse a bare line
// feed); the page bodies keep their bare line feeds and do not end in one.
#pragma once
#include <string_view>

#include "quillcast_version.h"

namespace qc::http_text {

inline constexpr std::string_view kStatus200 = "HTTP/1.1 200 OK\r\n";
inline constexpr std::string_view kStatus206 = "HTTP/1.1 206 Partial Content\r\n";
// A conditional request for a file the client already holds: the head alone.
inline constexpr std::string_view kStatus304 = "HTTP/1.1 304 Not Modified\r\n";
inline constexpr std::string_view kStatus400 = "HTTP/1.1 400 Bad Request\r\n";
inline constexpr std::string_view kStatus404 = "HTTP/1.1 404 Not Found\r\n";
// If-Match or If-Unmodified-Since that the file does not meet.
inline constexpr std::string_view kStatus412 = "HTTP/1.1 412 Precondition Failed\r\n";
// A range that names no byte of the file.
inline constexpr std::string_view kStatus416 = "HTTP/1.1 416 Range Not Satisfiable\r\n";
// A one-shot link whose first download is under way.
inline constexpr std::string_view kStatus503 = "HTTP/1.1 503 Service Unavailable\r\n";
inline constexpr std::string_view kServer = "Server: Quillcast/" QC_VERSION_TEXT "\r\n";
// In every answer, after the status line (and the Server line where there is one);
// followed by the date and a line end.
inline constexpr std::string_view kDate = "Date: ";
inline constexpr std::string_view kAcceptRanges = "Accept-Ranges: bytes\r\n";
inline constexpr std::string_view kContentType = "Content-Type: application/octet-stream\r\n";
// A folder share's archive.
inline constexpr std::string_view kContentTypeZip = "Content-Type: application/zip\r\n";
// Followed by the file's validators and a line end.
inline constexpr std::string_view kLastModified = "Last-Modified: ";
inline constexpr std::string_view kETag = "ETag: ";
inline constexpr std::string_view kContentRange = "Content-Range: bytes ";
// The 416's range line: followed by the file's size and a line end.
inline constexpr std::string_view kUnsatisfiedRange = "Content-Range: bytes */";
inline constexpr std::string_view kContentLength = "Content-Length: ";
// The 503's: a first download that breaks frees the link again, and one that ends uses
// it up, so asking again soon tells which.
inline constexpr std::string_view kRetryAfter = "Retry-After: 30\r\n";
// The server closes the connection after every answer, whatever the request asked.
inline constexpr std::string_view kClose = "Connection: close\r\n";
inline constexpr std::string_view kLineEnd = "\r\n";

// The pages' bodies; their heads give their lengths.
inline constexpr std::string_view kNotFoundBody =
    "<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>The requested URL was not found on this server.</p>\n"
    "<hr><address>Quillcast/" QC_VERSION_TEXT " (Win32) Server</address>\n</body>\n</html>";
inline constexpr std::string_view kBadRequestBody =
    "<html><head><title>400 Bad Request</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>Invalid request or syntax error</p>\n"
    "<hr><address>Quillcast/" QC_VERSION_TEXT " (Win32) Server</address>\n</body>\n</html>";
inline constexpr std::string_view kPreconditionFailedBody =
    "<html><head><title>412 Precondition Failed</title></head>\n<body>\n"
    "<h1>Precondition Failed</h1>\n"
    "<p>The file is not the version the request names.</p>\n"
    "<hr><address>Quillcast/" QC_VERSION_TEXT " (Win32) Server</address>\n</body>\n</html>";
inline constexpr std::string_view kRangeNotSatisfiableBody =
    "<html><head><title>416 Range Not Satisfiable</title></head>\n<body>\n"
    "<h1>Range Not Satisfiable</h1>\n"
    "<p>The requested range lies outside the file.</p>\n"
    "<hr><address>Quillcast/" QC_VERSION_TEXT " (Win32) Server</address>\n</body>\n</html>";
inline constexpr std::string_view kBusyBody =
    "<html><head><title>503 Service Unavailable</title></head>\n<body>\n"
    "<h1>Service Unavailable</h1>\n"
    "<p>This link is being downloaded right now. It can be downloaded once only; try again "
    "later in case that download does not finish.</p>\n"
    "<hr><address>Quillcast/" QC_VERSION_TEXT " (Win32) Server</address>\n</body>\n</html>";

// The pages as browsers and scripts have long seen them: only the version may change them.
static_assert(kNotFoundBody.size() == 193 + std::string_view(QC_VERSION_TEXT).size());
static_assert(kBadRequestBody.size() == 179 + std::string_view(QC_VERSION_TEXT).size());

}  // namespace qc::http_text
