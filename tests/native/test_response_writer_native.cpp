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
#include "unit/wire_answers.h"

namespace qc {
namespace {

using tests::CapturingSink;
using namespace tests::wire;

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
  const std::string v = ValidatorLines(file);
  const SharePtr share = shares_.AppendShare(file, "/f", kOneShot);
  CapturingSink sink;
  sink.onSend = [&](int call) {
    if (call == 1) std::filesystem::resize_file(file, 5000);
  };
  Request request = ParsedRequest("/f", "");
  WriteResponse(request, shares_, sink);
  // The two whole blocks were asked for in one piece; 5000 bytes came and went out.
  ASSERT_EQ(sink.sends.size(), 2u);
  EXPECT_EQ(sink.sends[0], Head200(content.size(), v));
  EXPECT_EQ(sink.sends[1], content.substr(0, 5000));
  EXPECT_FALSE(share->IsWithdrawn());
}

}  // namespace
}  // namespace qc
