// A failing comparison names the outcomes it compared.
#include <gtest/gtest.h>

#include "unit/printers.h"

namespace qc {
namespace {

TEST(Printers, OutcomesPrintByName) {
  struct Case {
    std::string printed;
    const char* expected;
  };
  const Case cases[] = {
      {testing::PrintToString(StartResult::BindFailed), "BindFailed"},
      {testing::PrintToString(StartResult::PortInvalid), "PortInvalid"},
      {testing::PrintToString(static_cast<StartResult>(77)), "(out of range: 77)"},
      {testing::PrintToString(Role::Share), "Share"},
      {testing::PrintToString(ShareFileWrite::Failed), "Failed"},
      {testing::PrintToString(UrlCopy::NotSet), "NotSet"},
      {testing::PrintToString(ShareAddition::PathTaken), "PathTaken"},
      {testing::PrintToString(ArchiveSendOutcome::BadRange), "BadRange"},
      {testing::PrintToString(LastPieceClaim::Lost), "Lost"},
      {testing::PrintToString(LastPieceClaim::Counted), "Counted"},
      {testing::PrintToString(FolderShareRisk::WholeProfile), "WholeProfile"},
      {testing::PrintToString(platform::ControlSetup::BlockUnusable), "BlockUnusable"},
      {testing::PrintToString(StartOutcome{}), "Running (no error)"},
      {testing::PrintToString(StartOutcome{StartResult::ListenFailed, {7, "Seven"}}),
       "ListenFailed (Seven (7))"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.printed, c.expected);
}

}  // namespace
}  // namespace qc
