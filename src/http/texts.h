// The server's fixed HTTP texts, byte for byte. Every line ends in a bare line feed; the
// page bodies do not end in one, and their lengths are the numbers sent before them.
#pragma once
#include <string_view>

namespace qc::http_text {

inline constexpr std::string_view kStatus200 = "HTTP/1.1 200 OK\n";
inline constexpr std::string_view kStatus206 = "HTTP/1.1 206 Partial Content\n";
inline constexpr std::string_view kStatus404 = "HTTP/1.1 404 Not Found\n";
// Also the whole of the short answer to a range that does not fit the file.
inline constexpr std::string_view kStatus400 = "HTTP/1.1 400 Bad Request\n";
inline constexpr std::string_view kServer = "Server: Quillcast/1.0.0\n";
inline constexpr std::string_view kAcceptRanges = "Accept-Ranges: bytes\n";
inline constexpr std::string_view kContentType = "Content-Type: application/octet-stream\n";
inline constexpr std::string_view kContentRange = "Content-Range: bytes ";
inline constexpr std::string_view kContentLength = "Content-Length: ";
inline constexpr std::string_view kKeepAlive = "Connection: Keep-Alive\n";
inline constexpr std::string_view kClose = "Connection: close\n";
inline constexpr std::string_view kNotFoundLength = "198\n\n";
inline constexpr std::string_view kBadRequestLength = "184\n\n";
inline constexpr std::string_view kLineEnd = "\n";

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
