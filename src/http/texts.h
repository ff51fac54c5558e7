// The server's fixed HTTP texts, byte for byte. Every line of a head ends in CR LF, as
// HTTP/1.1 asks of senders (Node.js and other llhttp-based clients refuse a bare line
// feed); the page bodies keep their bare line feeds, do not end in one, and their lengths
// are the numbers sent before them.
#pragma once
#include <string_view>

namespace qc::http_text {

inline constexpr std::string_view kStatus200 = "HTTP/1.1 200 OK\r\n";
inline constexpr std::string_view kStatus206 = "HTTP/1.1 206 Partial Content\r\n";
// A conditional request for a file the client already holds: the head alone.
inline constexpr std::string_view kStatus304 = "HTTP/1.1 304 Not Modified\r\n";
inline constexpr std::string_view kStatus404 = "HTTP/1.1 404 Not Found\r\n";
// Also the whole of the short answer to a range that does not fit the file.
inline constexpr std::string_view kStatus400 = "HTTP/1.1 400 Bad Request\r\n";
inline constexpr std::string_view kServer = "Server: Quillcast/1.0.0\r\n";
inline constexpr std::string_view kAcceptRanges = "Accept-Ranges: bytes\r\n";
inline constexpr std::string_view kContentType = "Content-Type: application/octet-stream\r\n";
// Followed by the file's validators and a line end.
inline constexpr std::string_view kLastModified = "Last-Modified: ";
inline constexpr std::string_view kETag = "ETag: ";
inline constexpr std::string_view kContentRange = "Content-Range: bytes ";
inline constexpr std::string_view kContentLength = "Content-Length: ";
inline constexpr std::string_view kKeepAlive = "Connection: Keep-Alive\r\n";
inline constexpr std::string_view kClose = "Connection: close\r\n";
inline constexpr std::string_view kNotFoundLength = "198\r\n\r\n";
inline constexpr std::string_view kBadRequestLength = "184\r\n\r\n";
inline constexpr std::string_view kLineEnd = "\r\n";

inline constexpr std::string_view kNotFoundBody =
    "<html><head><title>404 Not Found</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>The requested URL was not found on this server.</p>\n"
    "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>";
inline constexpr std::string_view kBadRequestBody =
    "<html><head><title>400 Bad Request</title></head>\n<body>\n<h1>Not Found</h1>\n"
    "<p>Invalid request or syntax error</p>\n"
    "<hr><address>Quillcast/1.0.0 (Win32) Server</address>\n</body>\n</html>";

static_assert(kNotFoundBody.size() == 198);
static_assert(kBadRequestBody.size() == 184);

}  // namespace qc::http_text
