// The response writer against a file that changes under it, which only POSIX sharing
// rules allow.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "platform/file.h"
#include "shares/share_registry.h"
#include "unit/platform_support.h"
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

// A file written while its download runs: the last piece is not sent, so the client holds
// a body shorter than announced (and resumes with a tag that no longer matches, getting
// the new file whole) rather than one spliced from two versions; a one-shot share stays.
// Each write comes after the body's first piece was read and before it went out.
TEST_F(ResponseWriterNativeTest, FileWrittenDuringTheDownloadLosesItsLastPiece) {
  constexpr std::int64_t kSize = 3 * 4096 + 5;
  // The file's modification time before the download: long ago.
  constexpr std::int64_t kWritten = 1'000'000'000;
  const std::string before = Content(kSize);
  const std::string after(static_cast<std::size_t>(kSize), 'n');
  struct Case {
    const char* name;
    std::function<void(const std::string& file)> write;
    bool whole;
  };
  const Case cases[] = {
      {"nothing written", [](const std::string&) {}, true},
      {"rewritten in place, same size",
       [&](const std::string& f) { tests::WriteFileBytes(f, after); }, false},
      // What a copy that keeps the source's time leaves: size and modification time as they
      // were; only the change time tells.
      {"rewritten, its time set back",
       [&](const std::string& f) {
         tests::WriteFileBytes(f, after);
         ASSERT_TRUE(tests::SetModifiedTime(f, kWritten, 0));
       },
       false},
      {"grown", [&](const std::string& f) { tests::WriteFileBytes(f, before + "more"); }, false},
  };
  for (const bool oneShot : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (oneShot ? ", one-shot" : ""));
      ShareRegistry shares;
      const std::string file = MakeFile("changing.bin", before);
      // An old time, so that the write's own time differs from it whatever the clock's
      // resolution; then a moment, so the change time moves on too.
      ASSERT_TRUE(tests::SetModifiedTime(file, kWritten, 0));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      const std::string v = ValidatorLines(file);
      const SharePtr share = shares.AppendShare(file, "/c", oneShot ? kOneShot : 0u);
      CapturingSink sink;
      sink.onSend = [&](int call) {
        if (call == 2) c.write(file);
      };
      const ResponseSummary summary = WriteResponse(ParsedRequest("/c", ""), shares, sink);
      const std::string whole = Head200(kSize, v) + before;
      EXPECT_EQ(sink.All(), c.whole ? whole : whole.substr(0, whole.size() - 5));
      EXPECT_EQ(summary.incomplete, !c.whole);
      EXPECT_EQ(share->IsWithdrawn(), oneShot && c.whole);
    }
  }
}

}  // namespace
}  // namespace qc
