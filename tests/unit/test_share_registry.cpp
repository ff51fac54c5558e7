#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/directory.h"
#include "shares/settings_file.h"
#include "shares/share_registry.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using platform::kPathSeparator;
using platform::MessageIcon;
using tests::RecordedMessage;

std::vector<std::string> VirtualPaths(ShareRegistry& registry) {
  std::vector<std::string> paths;
  for (const SharePtr& share : registry.Snapshot()) paths.push_back(share->virtualPath);
  return paths;
}

// A registry holding /a, /b, /c ... in that order.
void Fill(ShareRegistry& registry, const std::vector<std::string>& names) {
  for (const std::string& name : names) registry.AppendShare("phys" + name, name, 0);
}

TEST(ShareRegistry, AppendKeepsOrderAndStoresFields) {
  ShareRegistry registry;
  SharePtr first = registry.AppendShare("C:\\a.txt", "/a.txt", kOneShot);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->physicalPath, "C:\\a.txt");
  EXPECT_EQ(first->virtualPath, "/a.txt");
  EXPECT_EQ(first->flags.load(), kOneShot);
  EXPECT_FALSE(first->IsWithdrawn());
  SharePtr second = registry.AppendShare("C:\\b.txt", "/b.txt", 0x8003);
  EXPECT_EQ(second->flags.load(), 0x8003u);  // unknown bits are kept
  EXPECT_TRUE(second->IsWithdrawn());
  EXPECT_EQ(registry.Count(), 2u);
  EXPECT_EQ(registry.ShareAt(0), first);
  EXPECT_EQ(registry.ShareAt(1), second);
}

TEST(ShareRegistry, RemoveRelinksAtEveryPosition) {
  struct Case {
    const char* name;
    int position;  // -1: remove null
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"head", 0, {"/b", "/c", "/d"}},
      {"middle", 2, {"/a", "/b", "/d"}},
      {"tail", 3, {"/a", "/b", "/c"}},
      {"null", -1, {"/a", "/b", "/c", "/d"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShareRegistry registry;
    Fill(registry, {"/a", "/b", "/c", "/d"});
    registry.RemoveShare(c.position < 0 ? nullptr : registry.ShareAt(c.position));
    EXPECT_EQ(VirtualPaths(registry), c.expected);
    // Appending after a removal links after the current tail.
    registry.AppendShare("x", "/e", 0);
    std::vector<std::string> withTail = c.expected;
    withTail.push_back("/e");
    EXPECT_EQ(VirtualPaths(registry), withTail);
  }
}

TEST(ShareRegistry, RemoveOnlyShareEmptiesAndUnknownShareIsIgnored) {
  ShareRegistry registry;
  SharePtr only = registry.AppendShare("p", "/only", 0);
  auto stranger = std::make_shared<Share>("p", "/only", 0);
  registry.RemoveShare(stranger);
  EXPECT_EQ(registry.Count(), 1u);
  registry.RemoveShare(only);
  EXPECT_EQ(registry.Count(), 0u);
  EXPECT_EQ(registry.ShareAt(0), nullptr);
  EXPECT_EQ(registry.FindShare("/only"), nullptr);
  // The removed share itself is still intact for whoever holds it.
  EXPECT_EQ(only->virtualPath, "/only");
}

TEST(ShareRegistry, ClearEmptiesAndStartsANewList) {
  ShareRegistry registry;
  registry.ClearShares();  // empty: nothing happens
  EXPECT_EQ(registry.Count(), 0u);
  Fill(registry, {"/a", "/b"});
  registry.ClearShares();
  EXPECT_EQ(registry.Count(), 0u);
  EXPECT_EQ(registry.ShareAt(0), nullptr);
  Fill(registry, {"/c"});
  EXPECT_EQ(VirtualPaths(registry), std::vector<std::string>{"/c"});
}

TEST(ShareRegistry, FindShareMatchesWholePathExactly) {
  ShareRegistry registry;
  SharePtr temp = registry.AppendShare("C:\\temp\\a.txt", "/temp/a.txt", 0);
  SharePtr newer = registry.AppendShare("C:\\other\\a.txt", "/temp/a.txt", 0);
  SharePtr gone = registry.AppendShare("C:\\g.txt", "/g.txt", kOneShot | kWithdrawn);
  registry.AppendShare("C:\\e.txt", "", 0);
  struct Case {
    std::string path;
    SharePtr expected;
  };
  const Case cases[] = {
      {"/temp/a.txt", temp},  // oldest of equal paths wins
      {"/Temp/a.txt", nullptr}, {"/temp/A.TXT", nullptr},
      {"/temp", nullptr},       {"/temp/a.txt ", nullptr},
      {"/temp/a.tx", nullptr},  {"/g.txt", gone},  // withdrawn shares are still found
      {"/missing", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(registry.FindShare(c.path), c.expected);
  }
  EXPECT_NE(registry.FindShare(""), nullptr);
  registry.RemoveShare(temp);
  EXPECT_EQ(registry.FindShare("/temp/a.txt"), newer);
}

TEST(ShareRegistry, ShareAtBounds) {
  ShareRegistry registry;
  EXPECT_EQ(registry.ShareAt(0), nullptr);
  EXPECT_EQ(registry.ShareAt(-1), nullptr);
  Fill(registry, {"/a", "/b", "/c"});
  EXPECT_EQ(registry.ShareAt(-1), nullptr);
  EXPECT_EQ(registry.ShareAt(INT32_MIN), nullptr);
  EXPECT_EQ(registry.ShareAt(3), nullptr);
  EXPECT_EQ(registry.ShareAt(INT32_MAX), nullptr);
  ASSERT_NE(registry.ShareAt(2), nullptr);
  EXPECT_EQ(registry.ShareAt(2)->virtualPath, "/c");
  EXPECT_EQ(registry.ShareAt(0)->virtualPath, "/a");
}

TEST(ShareRegistry, HolderTakesTheLockAgainWhileAnotherThreadWaits) {
  ShareRegistry registry;
  std::unique_lock held(registry.Lock());

  std::atomic<bool> waiterDone{false};
  std::thread waiter([&] {
    registry.AppendShare("w", "/waiter", 0);
    waiterDone = true;
  });
  // Give the waiter time to reach the lock; it must not get past it while it is held.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(waiterDone.load());

  // The holder itself goes through every locking operation without blocking.
  SharePtr mine = registry.AppendShare("h", "/holder", 0);
  EXPECT_EQ(registry.FindShare("/holder"), mine);
  EXPECT_EQ(registry.Count(), 1u);
  {
    std::lock_guard again(registry.Lock());
    EXPECT_EQ(registry.ShareAt(0), mine);
  }
  EXPECT_FALSE(waiterDone.load());

  held.unlock();
  waiter.join();
  EXPECT_TRUE(waiterDone.load());
  EXPECT_EQ(VirtualPaths(registry), (std::vector<std::string>{"/holder", "/waiter"}));
}

TEST(ShareRegistry, FoundShareStaysValidWhileRemovedConcurrently) {
  ShareRegistry registry;
  constexpr int kRounds = 500;
  const std::string physical(200, 'p');  // on the heap, so a freed text would be seen
  registry.AppendShare(physical, "/hot", kOneShot);

  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> found{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        SharePtr share = registry.FindShare("/hot");
        if (!share) continue;
        ++found;
        std::this_thread::yield();
        share->flags.fetch_or(kWithdrawn);
        if (share->physicalPath != physical || share->virtualPath != "/hot") ++mismatches;
      }
    });
  }
  for (int i = 0; i < kRounds; ++i) {
    registry.RemoveShare(registry.FindShare("/hot"));
    registry.AppendShare(physical, "/hot", kOneShot);
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(registry.Count(), 1u);
}

// Physical paths in the examples below are written with "\" and turned into the build's
// separator, so the same tables hold for both builds.
std::string Local(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = kPathSeparator;
  }
  return path;
}

ServerSettings WithFolder(const std::string& folder) {
  ServerSettings settings;
  settings.defaultFolder = folder;
  return settings;
}

// A download that found a one-shot share which was then removed and replaced at its path
// claims nothing: the new share stays whole, and nothing is stored.
TEST(ShareRegistry, AClaimOfAShareNoLongerAtItsPathTakesNothing) {
  ShareRegistry registry;
  int stored = 0;
  registry.SetWithdrawalListener([&stored] { ++stored; });
  const SharePtr old = registry.AppendShare("phys-d-a.bin", "/a.bin", kOneShot);
  registry.RemoveShare(old);
  const SharePtr current = registry.AppendShare("phys-e-a.bin", "/a.bin", kOneShot);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_EQ(registry.ClaimLastPiece(old, "/a.bin"), LastPieceClaim::NotClaimed);
    EXPECT_FALSE(old->IsWithdrawn());
    EXPECT_FALSE(current->IsWithdrawn());
  }
  EXPECT_EQ(stored, 0);
  // The share at the path is still claimed as ever.
  EXPECT_EQ(registry.ClaimLastPiece(current, "/a.bin"), LastPieceClaim::Won);
  EXPECT_EQ(stored, 1);
}

TEST(MakeVirtualPath, ExamplesTable) {
  struct Case {
    std::string folder;
    std::string physical;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"", "C:\\temp\\a.txt", "/a.txt"},
      {"/temp", "C:\\temp\\a.txt", "/temp/a.txt"},
      {"/temp", "D:\\My files\\report 2009.pdf", "/temp/report 2009.pdf"},
      {"/files/", "C:\\x\\a.txt", "/files//a.txt"},
      {"docs", "C:\\a.txt", "docs/a.txt"},
      {"/temp", "C:\\dir\\", "/temp/"},
      {"/temp", "\\\\server\\share\\b.bin", "/temp/b.bin"},
      {"/temp", "a.txt", std::nullopt},
      {"/temp", "\\a.txt", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " | " + c.physical);
    // A refusal is the caller's to tell: the rule is handed no message sink.
    EXPECT_EQ(MakeVirtualPath(WithFolder(c.folder), Local(c.physical)), c.expected);
  }
}

TEST(FileNameOf, ExamplesTable) {
  struct Case {
    std::string path;
    std::string name;
  };
  const Case cases[] = {
      {"C:\\dir\\a.txt", "a.txt"}, {"a.txt", "a.txt"}, {"C:\\dir\\", ""},
      {"\\a.txt", "a.txt"},        {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string path = Local(c.path);
    const std::size_t position = FileNameOf(path);
    ASSERT_LE(position, path.size());
    EXPECT_EQ(path.substr(position), Local(c.name));
  }
}

}  // namespace
}  // namespace qc
