// A folder's listing on both systems: the order (depth first, each folder's entries by the
// bytes of their names), empty folders, names in UTF-8 whatever the code page, and the
// versions the files report once open. The native-only cases (links, FIFOs, sockets, names
// that are not UTF-8) are in tests/native/test_folder_listing_native.cpp, the Windows ones
// (a Cyrillic folder reached through its short name) in tests/win.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folder_listing.h"
#include "shares/folder_rules.h"
#include "unit/archive_support.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

namespace fs = std::filesystem;

using tests::Utf8Path;

TEST(FolderListing, DepthFirstSortedByNameBytesWithEmptyFolders) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  // Created out of order: the listing sorts. "B" < "a" < "a b" < "a-" < "ab" by their
  // bytes, and "a"'s contents come right after "a", before "a b".
  for (const char* folder : {"ab/empty", "a/inner", "B"}) fs::create_directories(top / folder);
  tests::WriteFileBytes(top / "ab" / "f", "1");
  tests::WriteFileBytes(top / "a-", "22");
  tests::WriteFileBytes(top / "a b", "333");
  tests::WriteFileBytes(top / "a" / "z", "4444");
  tests::WriteFileBytes(top / "a" / "inner" / "x", "55555");
  fs::create_directories(top / Utf8Path("Папка"));
  tests::WriteFileBytes(top / Utf8Path("Папка") / Utf8Path("日本語 ファイル.txt"), "666666");

  const std::optional<platform::FolderListing> listing = platform::ListFolder(top.string());
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->name, "top");
  EXPECT_TRUE(listing->leftOut.empty());
  struct Expected {
    std::string path;
    bool isFolder;
    std::int64_t size;
  };
  const std::vector<Expected> expected = {
      {"B", true, 0},          {"a", true, 0},     {"a/inner", true, 0},
      {"a/inner/x", false, 5}, {"a/z", false, 4},  {"a b", false, 3},
      {"a-", false, 2},        {"ab", true, 0},    {"ab/empty", true, 0},
      {"ab/f", false, 1},      {"Папка", true, 0}, {"Папка/日本語 ファイル.txt", false, 6},
  };
  ASSERT_EQ(listing->entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const platform::FolderEntry& entry = listing->entries[i];
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(entry.path, expected[i].path);
    EXPECT_EQ(entry.isFolder, expected[i].isFolder);
    EXPECT_EQ(entry.version.size, expected[i].size);
    if (entry.isFolder) continue;
    // What the file says of itself once open is what the listing saw.
    const std::optional<platform::FileVersion> open =
        platform::File::OpenSharedReadListed(listing->root, entry.path).Version();
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(open->modifiedSeconds, entry.version.modifiedSeconds);
    EXPECT_EQ(open->modifiedNanoseconds, entry.version.modifiedNanoseconds);
    EXPECT_EQ(open->volume, entry.version.volume);
    EXPECT_EQ(open->fileIndex, entry.version.fileIndex);
  }
}

TEST(FolderListing, TimesAndNothingToList) {
  tests::ScopedTempDirectory dir;
  fs::create_directories(dir.path() / "top" / "sub");
  tests::WriteFileBytes(dir.path() / "top" / "f", "x");
  ASSERT_TRUE(tests::SetModifiedTime((dir.path() / "top" / "sub").string(), 1'234'567'890, 0));
  ASSERT_TRUE(tests::SetModifiedTime((dir.path() / "top").string(), 1'000'000'000, 500'000'000));
  const std::optional<platform::FolderListing> listing =
      platform::ListFolder((dir.path() / "top").string());
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->rootVersion.modifiedSeconds, 1'000'000'000);
  EXPECT_EQ(listing->rootVersion.modifiedNanoseconds, 500'000'000);
  ASSERT_EQ(listing->entries.size(), 2u);
  EXPECT_EQ(listing->entries[1].path, "sub");
  EXPECT_EQ(listing->entries[1].version.modifiedSeconds, 1'234'567'890);
  // A file, a missing path: no listing.
  EXPECT_FALSE(platform::ListFolder((dir.path() / "top" / "f").string()).has_value());
  EXPECT_FALSE(platform::ListFolder((dir.path() / "missing").string()).has_value());
  fs::create_directory(dir.path() / "empty");
  const std::optional<platform::FolderListing> empty =
      platform::ListFolder((dir.path() / "empty").string());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->entries.empty());
}

TEST(FolderShareRisk, DriveRootsAndTheWholeProfileNeedAConfirmation) {
  using enum FolderShareRisk;
  struct Case {
    PathStyle style;
    const char* folder;
    const char* home;
    bool volumeRoot;
    FolderShareRisk risk;
  };
  const Case cases[] = {
      {PathStyle::Posix, "/", "/home/ann", false, DriveRoot},
      {PathStyle::Posix, "//", "/home/ann", false, DriveRoot},
      {PathStyle::Posix, "/home/..", "/home/ann", false, DriveRoot},
      {PathStyle::Posix, "/media/usb", "/home/ann", true, DriveRoot},
      {PathStyle::Posix, "/home/ann", "/home/ann", false, WholeProfile},
      {PathStyle::Posix, "/home/ann/", "/home/ann", false, WholeProfile},
      {PathStyle::Posix, "/home/./ann//", "/home/ann/", false, WholeProfile},
      {PathStyle::Posix, "/home", "/home/ann", false, WholeProfile},
      {PathStyle::Posix, "/home/ann/Photos", "/home/ann", false, None},
      {PathStyle::Posix, "/home/ann/Photos/..", "/home/ann", false, WholeProfile},
      {PathStyle::Posix, "/home/anna", "/home/ann", false, None},
      {PathStyle::Posix, "/home/Ann", "/home/ann", false, None},
      {PathStyle::Posix, "/srv/data", "", false, None},
      {PathStyle::Windows, "C:\\", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "C:", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "d:/", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "\\\\?\\D:\\", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "\\\\server\\share\\", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "\\\\?\\UNC\\server\\share", "C:\\Users\\Ann", false, DriveRoot},
      {PathStyle::Windows, "\\\\server\\share\\docs", "C:\\Users\\Ann", false, None},
      {PathStyle::Windows, "C:\\Mount\\Disk", "C:\\Users\\Ann", true, DriveRoot},
      {PathStyle::Windows, "c:\\users\\ann", "C:\\Users\\Ann", false, WholeProfile},
      {PathStyle::Windows, "C:/Users/Ann/", "C:\\Users\\Ann", false, WholeProfile},
      {PathStyle::Windows, "\\\\?\\C:\\Users\\Ann", "C:\\Users\\Ann", false, WholeProfile},
      {PathStyle::Windows, "C:\\Users", "C:\\Users\\Ann", false, WholeProfile},
      {PathStyle::Windows, "C:\\Users\\Ann\\Pictures", "C:\\Users\\Ann", false, None},
      {PathStyle::Windows, "D:\\Users\\Ann", "C:\\Users\\Ann", false, None},
      {PathStyle::Windows, "C:\\Users\\Anna", "C:\\Users\\Ann", false, None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderShareRiskOf(c.folder, c.home, c.volumeRoot, c.style), c.risk)
        << c.folder << " with home " << c.home;
  }
}

}  // namespace
}  // namespace qc
