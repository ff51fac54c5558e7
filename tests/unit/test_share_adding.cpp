// The one rule every way of sharing a file goes through: a file shared again keeps its
// link, another file of the same name gets a numbered path of its own (or, typed, is
// refused), a withdrawn share gives its path away, and all of it under the share lock.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/directory.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using platform::kPathSeparator;
using tests::ReadFileBytes;
using tests::RecordBytes;
using tests::ScopedTempDirectory;

std::string Physical(const std::string& folder, const std::string& name) {
  const std::string sep(1, kPathSeparator);
  return sep + folder + sep + name;
}

TEST(ShareAdding, CopiesAreNumberedAsFileManagersNumberThem) {
  struct Case {
    const char* path;
    std::vector<std::string> numbered;  // n = first, first + 1
  };
  const Case cases[] = {
      {"/report.txt", {"/report (2).txt", "/report (3).txt"}},
      {"/temp/README", {"/temp/README (2)", "/temp/README (3)"}},
      // A hidden file's dot starts its name, not an extension.
      {"/.profile", {"/.profile (2)", "/.profile (3)"}},
      // Only the last extension moves: "archive.tar" is the stem.
      {"/archive.tar.gz", {"/archive.tar (2).gz", "/archive.tar (3).gz"}},
      // A dot in a folder is no extension of the file.
      {"/v1.2/notes", {"/v1.2/notes (2)", "/v1.2/notes (3)"}},
      {"/trailing.", {"/trailing. (2)", "/trailing. (3)"}},
      // A copy of a copy counts on instead of numbering twice.
      {"/report (2).txt", {"/report (3).txt", "/report (4).txt"}},
      {"/report (1).txt", {"/report (2).txt", "/report (3).txt"}},
      {"/name (9)", {"/name (10)", "/name (11)"}},
      // Not a copy number: numbered as any other name.
      {"/report (0).txt", {"/report (0) (2).txt", "/report (0) (3).txt"}},
      {"/report (02).txt", {"/report (02) (2).txt", "/report (02) (3).txt"}},
      {"/report (draft).txt", {"/report (draft) (2).txt", "/report (draft) (3).txt"}},
      {"/report(2).txt", {"/report(2) (2).txt", "/report(2) (3).txt"}},
      {"/", {"/ (2)", "/ (3)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const int first = FirstCopyNumber(c.path);
    EXPECT_EQ(NumberedVirtualPath(c.path, first), c.numbered[0]);
    EXPECT_EQ(NumberedVirtualPath(c.path, first + 1), c.numbered[1]);
  }
}

TEST(ShareAdding, ControlCharactersAreFoundAnywhere) {
  struct Case {
    std::string path;
    bool holds;
  };
  const Case cases[] = {
      {"/d/a.txt", false},
      {"/d/caf\xC3\xA9 2009 #1.txt", false},
      {std::string("/d/a\0b.txt", 10), true},
      {"/d/a\tb.txt", true},
      {"/d/a.txt\n", true},
      {"\x1F/d", true},
      {"/d/\x7F", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(HoldsControlCharacter(c.path), c.holds);
  }
}

// The registry and shared.cfg before and after one share, for every way the rule can go.
TEST(ShareAdding, OneRuleDecidesEveryShare) {
  const std::string d1 = Physical("d1", "report.txt");
  const std::string d2 = Physical("d2", "report.txt");
  const std::string d3 = Physical("d3", "report.txt");
  struct Stored {
    std::string virtualPath;
    std::string physicalPath;
    std::uint16_t flags;
  };
  struct Case {
    const char* name;
    std::vector<Stored> before;
    std::string physical;
    std::string virtualPath;
    VirtualPathOrigin origin;
    ShareStoring storing;
    ShareAddition outcome;
    std::string path;  // of the share given back; empty when none
    std::vector<Stored> after;
    bool rewritten;  // shared.cfg holds `after` (else: `before`, plus the record appended)
  };
  const VirtualPathOrigin generated = VirtualPathOrigin::Generated;
  const VirtualPathOrigin typed = VirtualPathOrigin::Typed;
  const ShareStoring now = ShareStoring::AppendNow;
  const std::vector<Case> cases = {
      {"a first share",
       {},
       d1,
       "/report.txt",
       generated,
       now,
       ShareAddition::Added,
       "/report.txt",
       {{"/report.txt", d1, 0}},
       false},
      {"another file of the same name",
       {{"/report.txt", d1, 0}},
       d2,
       "/report.txt",
       generated,
       now,
       ShareAddition::Renamed,
       "/report (2).txt",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d2, 0}},
       false},
      {"a third",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d2, 0}},
       d3,
       "/report.txt",
       generated,
       now,
       ShareAddition::Renamed,
       "/report (3).txt",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d2, 0}, {"/report (3).txt", d3, 0}},
       false},
      {"the same file again",
       {{"/report.txt", d1, 0}, {"/other.txt", d2, 1}},
       d1,
       "/temp/report.txt",
       generated,
       now,
       ShareAddition::AlreadyShared,
       "/report.txt",
       {{"/report.txt", d1, 0}, {"/other.txt", d2, 1}},
       false},
      {"the same file again, under a typed path",
       {{"/report.txt", d1, 0}},
       d1,
       "/mine.txt",
       typed,
       now,
       ShareAddition::AlreadyShared,
       "/report.txt",
       {{"/report.txt", d1, 0}},
       false},
      {"a typed path another file holds",
       {{"/report.txt", d1, 0}},
       d2,
       "/report.txt",
       typed,
       now,
       ShareAddition::PathTaken,
       "",
       {{"/report.txt", d1, 0}},
       false},
      {"a typed path that is free",
       {{"/report.txt", d1, 0}},
       d2,
       "/files/report.txt",
       typed,
       now,
       ShareAddition::Added,
       "/files/report.txt",
       {{"/report.txt", d1, 0}, {"/files/report.txt", d2, 0}},
       false},
      // The lookup finds the oldest share of a path: left in place, the withdrawn record
      // would answer 404 for the new link (at once, and after every restart).
      {"a withdrawn one-shot share at the path",
       {{"/a.txt", d3, 0}, {"/report.txt", d1, kOneShot | kWithdrawn}, {"/b.txt", d3, 0x100}},
       d2,
       "/report.txt",
       generated,
       now,
       ShareAddition::Added,
       "/report.txt",
       {{"/a.txt", d3, 0}, {"/b.txt", d3, 0x100}, {"/report.txt", d2, 0}},
       true},
      {"a withdrawn share of the same file is no share of it",
       {{"/report.txt", d1, kOneShot | kWithdrawn}},
       d1,
       "/report.txt",
       generated,
       now,
       ShareAddition::Added,
       "/report.txt",
       {{"/report.txt", d1, 0}},
       true},
      {"a typed path held only by a withdrawn share",
       {{"/mine.txt", d1, kOneShot | kWithdrawn}},
       d2,
       "/mine.txt",
       typed,
       now,
       ShareAddition::Added,
       "/mine.txt",
       {{"/mine.txt", d2, 0}},
       true},
      {"the copy's number held by a withdrawn share",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d3, kOneShot | kWithdrawn}},
       d2,
       "/report.txt",
       generated,
       now,
       ShareAddition::Renamed,
       "/report (2).txt",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d2, 0}},
       true},
      // After a Delete in the panel the record waits for the rewrite at "Close".
      {"left to the panel's rewrite",
       {{"/report.txt", d1, 0}},
       d2,
       "/report.txt",
       generated,
       ShareStoring::LeftToRewrite,
       ShareAddition::Renamed,
       "/report (2).txt",
       {{"/report.txt", d1, 0}, {"/report (2).txt", d2, 0}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    ShareRegistry registry;
    std::string before;
    for (const Stored& s : c.before) before += RecordBytes(s.virtualPath, s.physicalPath, s.flags);
    tests::WriteFileBytes(kSharesFileName, before);
    ASSERT_EQ(LoadShares(tests::StoredHere(), registry), 1);

    const AddedShare added =
        AddShare(tests::StoredHere(), registry, c.physical, c.virtualPath, 0, c.origin, c.storing);
    EXPECT_EQ(added.outcome, c.outcome);
    EXPECT_EQ(added.written, ShareFileWrite::Written);
    EXPECT_EQ(added.replacedWithdrawn, c.rewritten);
    if (c.path.empty()) {
      EXPECT_EQ(added.share, nullptr);
    } else {
      ASSERT_NE(added.share, nullptr);
      EXPECT_EQ(added.share->virtualPath, c.path);
    }
    std::vector<Stored> now;
    std::string after;
    for (const SharePtr& share : registry.Snapshot()) {
      now.push_back({share->virtualPath, share->physicalPath,
                     static_cast<std::uint16_t>(share->flags.load())});
      after += RecordBytes(share->virtualPath, share->physicalPath,
                           static_cast<std::uint16_t>(share->flags.load()));
    }
    ASSERT_EQ(now.size(), c.after.size());
    for (std::size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].virtualPath, c.after[i].virtualPath) << i;
      EXPECT_EQ(now[i].physicalPath, c.after[i].physicalPath) << i;
      EXPECT_EQ(now[i].flags, c.after[i].flags) << i;
    }
    const bool added_ = c.outcome == ShareAddition::Added || c.outcome == ShareAddition::Renamed;
    const bool appended = added_ && !c.rewritten && c.storing == ShareStoring::AppendNow;
    const std::string stored =
        c.rewritten ? after
                    : before + (appended ? RecordBytes(added.share->virtualPath, c.physical, 0)
                                         : std::string());
    EXPECT_EQ(ReadFileBytes(kSharesFileName), stored);
  }
}

// The system's own comparison of names: on Windows "C:\D\A.TXT" is the file "c:\d\a.txt".
TEST(ShareAdding, TheSameFileIsKnownAsTheSystemKnowsNames) {
  ScopedTempDirectory dir;
  ShareRegistry registry;
  const std::string lower = Physical("docs", "report.txt");
  const std::string upper = Physical("DOCS", "Report.TXT");
  ASSERT_EQ(
      AddShare(tests::StoredHere(), registry, lower, "/report.txt", 0, VirtualPathOrigin::Generated)
          .outcome,
      ShareAddition::Added);
  const AddedShare again = AddShare(tests::StoredHere(), registry, upper, "/Report.TXT", 0,
                                    VirtualPathOrigin::Generated);
  if (kPathSeparator == '\\') {
    EXPECT_EQ(again.outcome, ShareAddition::AlreadyShared);
    EXPECT_EQ(registry.Count(), 1u);
  } else {
    // Two files on a case-sensitive system, whose links differ in case.
    EXPECT_EQ(again.outcome, ShareAddition::Added);
    EXPECT_EQ(registry.Count(), 2u);
  }
}

// Two files of one name shared at the same moment (two Send to clients, the panel and a
// native command) never get the same link: the rule decides under the registry's lock.
TEST(ShareAdding, ConcurrentSharesOfOneNameGetPathsOfTheirOwn) {
  ScopedTempDirectory dir;
  ShareRegistry registry;
  constexpr int kFiles = 8;
  std::atomic<bool> go{false};
  std::vector<std::thread> sharers;
  for (int i = 0; i < kFiles; ++i) {
    std::string folder = "d";
    folder += std::to_string(i);  // not "d" + ...: gcc 12 warns wrongly (-Wrestrict)
    sharers.emplace_back([&, physical = Physical(folder, "same.txt")] {
      while (!go.load()) std::this_thread::yield();
      AddShare(tests::StoredHere(), registry, physical, "/same.txt", 0,
               VirtualPathOrigin::Generated);
    });
  }
  go = true;
  for (std::thread& sharer : sharers) sharer.join();
  std::set<std::string> paths;
  for (const SharePtr& share : registry.Snapshot()) paths.insert(share->virtualPath);
  EXPECT_EQ(paths.size(), static_cast<std::size_t>(kFiles));
  ShareRegistry reloaded;
  ASSERT_EQ(LoadShares(tests::StoredHere(), reloaded), 1);
  EXPECT_EQ(reloaded.Count(), static_cast<std::size_t>(kFiles));
}

}  // namespace
}  // namespace qc
