// The decision alone, before any byte is written: what it keeps while the answer is being
// written (the open file, a one-shot share's mark) and that it claims nothing. The answers'
// bytes for every condition and range are pinned by test_response_writer.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "http/request_parser.h"
#include "http/response_decision.h"
#include "http/validators.h"
#include "platform/file.h"
#include "shares/share_registry.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

struct DecisionCase {
  const char* name;
  const char* head;  // the request head; "{TAG}" stands for the file's entity tag
  AnswerKind plain;  // on an ordinary share
  AnswerKind oneShot;
  ByteSpan span;  // WholeFile and FileRange
};

void PrintTo(const DecisionCase& c, std::ostream* os) { *os << c.name; }

class DecisionTable : public ::testing::TestWithParam<DecisionCase> {};

Request Parse(std::string head, const Validators& validators) {
  const std::size_t tag = head.find("{TAG}");
  if (tag != std::string::npos) head.replace(tag, 5, validators.entityTag);
  return ParseRequest(head.data(), static_cast<std::int32_t>(head.size()));
}

bool PastTheLookup(AnswerKind kind) {
  return kind != AnswerKind::BadRequest && kind != AnswerKind::NotFound;
}

// Only an answer with a body keeps the file open; any answer that got past the lookup of a
// one-shot share holds its mark (a GET meanwhile is told 503) until the decision is
// dropped; no decision withdraws the share, whatever its answer.
TEST_P(DecisionTable, HoldsTheFileAndTheMarkOnlyAsLongAsTheAnswerNeeds) {
  const DecisionCase& c = GetParam();
  tests::ScopedTempDirectory temp;
  const std::string file = (temp.path() / "f.bin").string();
  tests::WriteFileBytes(temp.path() / "f.bin", tests::wire::Content(1000));
  const std::optional<platform::FileVersion> version =
      platform::File::OpenSharedRead(file).Version();
  ASSERT_TRUE(version.has_value());
  const Validators validators = ValidatorsOf(*version);
  const Request get = Parse("GET /f HTTP/1.1\r\n\r\n", validators);

  for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(kOneShot)}) {
    SCOPED_TRACE(flags == 0 ? "plain share" : "one-shot share");
    const AnswerKind kind = flags == 0 ? c.plain : c.oneShot;
    ShareRegistry shares;
    const SharePtr share = shares.AppendShare(file, "/f", flags);
    {
      const ResponseDecision d = DecideResponse(Parse(c.head, validators), shares);
      EXPECT_EQ(d.kind, kind);
      EXPECT_EQ(d.file.IsOpen(), d.SendsFile());
      if (kind == AnswerKind::WholeFile || kind == AnswerKind::FileRange) {
        EXPECT_EQ(d.span.first, c.span.first);
        EXPECT_EQ(d.span.count, c.span.count);
      }
      if (PastTheLookup(kind)) {
        EXPECT_EQ(d.version.size, 1000);
        EXPECT_EQ(d.validators.entityTag, validators.entityTag);
      }
      const ResponseDecision meanwhile = DecideResponse(get, shares);
      EXPECT_EQ(meanwhile.kind,
                flags != 0 && PastTheLookup(kind) ? AnswerKind::Busy : AnswerKind::WholeFile);
    }
    EXPECT_FALSE(share->IsWithdrawn());
    EXPECT_EQ(DecideResponse(get, shares).kind, AnswerKind::WholeFile);
  }
}

const DecisionCase kDecisionCases[] = {
    {"Whole", "GET /f HTTP/1.1\r\n\r\n", AnswerKind::WholeFile, AnswerKind::WholeFile, {0, 1000}},
    {"Range",
     "GET /f HTTP/1.1\r\nRange: bytes=990-\r\n\r\n",
     AnswerKind::FileRange,
     AnswerKind::FileRange,
     {990, 10}},
    {"HeadRange",
     "HEAD /f HTTP/1.1\r\nRange: bytes=-1\r\n\r\n",
     AnswerKind::FileRange,
     AnswerKind::FileRange,
     {999, 1}},
    {"NotModifiedBeforeTheRange",
     "GET /f HTTP/1.1\r\nRange: bytes=0-9\r\nIf-None-Match: {TAG}\r\n\r\n",
     AnswerKind::NotModified,
     AnswerKind::NotModified,
     {}},
    {"PreconditionBeforeAnUnsatisfiableRange",
     "GET /f HTTP/1.1\r\nIf-Match: \"other\"\r\nRange: bytes=2000-\r\n\r\n",
     AnswerKind::PreconditionFailed,
     AnswerKind::PreconditionFailed,
     {}},
    {"RangePastTheEnd",
     "GET /f HTTP/1.1\r\nRange: bytes=1000-\r\n\r\n",
     AnswerKind::RangeNotSatisfiable,
     AnswerKind::RangeNotSatisfiable,
     {}},
    {"LinkPreview",
     "GET /f HTTP/1.1\r\nUser-Agent: Slackbot-LinkExpanding 1.0\r\n\r\n",
     AnswerKind::WholeFile,
     AnswerKind::NotFound,
     {0, 1000}},
    {"NoSuchShare", "GET /g HTTP/1.1\r\n\r\n", AnswerKind::NotFound, AnswerKind::NotFound, {}},
    {"OtherMethod", "POST /f HTTP/1.1\r\n\r\n", AnswerKind::BadRequest, AnswerKind::BadRequest, {}},
};
INSTANTIATE_TEST_SUITE_P(Decision, DecisionTable, ::testing::ValuesIn(kDecisionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qc
