// The response writer against a file that changes under it, which only POSIX sharing
// rules allow.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "shares/share_registry.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::CapturingSink;

std::string Head200(std::int64_t size) {
  return "HTTP/1.1 200 OK\nServer: Quillcast/1.0.0\nAccept-Ranges: bytes\n"
         "Content-Type: application/octet-stream\nContent-Length: " +
         std::to_string(size) + "\nConnection: close\n\n";
}

std::string Content(std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (std::int64_t i = 0; i < size; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(i % 251);
  return bytes;
}

Request ParsedRequest(const std::string& path, const std::string& range) {
  std::string head = "GET " + path + " HTTP/1.1\r\n";
  if (!range.empty()) head += "Range: bytes=" + range + "\r\n";
  head += "\r\n";
  return ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
}

class ResponseWriterNativeTest : public ::testing::Test {
 protected:
  std::string MakeFile(const std::string& name, const std::string& bytes) {
    const auto path = temp_.path() / name;
    tests::WriteFileBytes(path, bytes);
    return path.string();
  }

  tests::ScopedTempDirectory temp_;
  ShareRegistry shares_;
};

// A file that yields fewer bytes than its size announced: only bytes read go out, and the
// answer ends there. (Shrinking an open file needs POSIX sharing rules.)
TEST_F(ResponseWriterNativeTest, ShortReadSendsOnlyWhatWasRead) {
  const std::string content = Content(2 * 4096 + 100);
  const std::string file = MakeFile("f", content);
  const SharePtr share = shares_.AppendShare(file, "/f", kOneShot);
  CapturingSink sink;
  sink.onSend = [&](int call) {
    if (call == 1) std::filesystem::resize_file(file, 5000);
  };
  Request request = ParsedRequest("/f", "");
  WriteResponse(request, shares_, sink);
  // The two whole blocks were asked for in one piece; 5000 bytes came and went out.
  ASSERT_EQ(sink.sends.size(), 2u);
  EXPECT_EQ(sink.sends[0], Head200(content.size()));
  EXPECT_EQ(sink.sends[1], content.substr(0, 5000));
  EXPECT_FALSE(share->IsWithdrawn());
}

}  // namespace
}  // namespace qc
