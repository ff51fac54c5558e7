// File::Version on both systems: the size, the modification time against the calendar
// (Windows counts from 1601 in 100 ns steps, Linux from 1970 in nanoseconds) and the
// file's identity.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/file.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

namespace fs = std::filesystem;

std::optional<platform::FileVersion> VersionOf(const fs::path& path) {
  return platform::File::OpenSharedRead(path.string()).Version();
}

TEST(FileVersion, ModificationTimeAgainstTheCalendar) {
  tests::ScopedTempDirectory dir;
  const fs::path path = dir.path() / "f.bin";
  tests::WriteFileBytes(path, std::string(1234, 'x'));
  struct Case {
    std::int64_t seconds;  // the time set, seconds and nanoseconds since 1970
    std::int64_t nanoseconds;
  };
  // Multiples of 100 ns, which both systems keep.
  const Case cases[] = {
      {784111777, 123456700}, {1700000000, 0}, {0, 999999900},
      {-1, 500000000},  // half a second before 1970: rounded down, the rest positive
      {4107542400, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    ASSERT_TRUE(
        tests::SetModifiedTime(path.string(), c.seconds, static_cast<std::int32_t>(c.nanoseconds)));
    const std::optional<platform::FileVersion> version = VersionOf(path);
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->size, 1234);
    EXPECT_EQ(version->modifiedSeconds, c.seconds);
    EXPECT_EQ(version->modifiedNanoseconds, c.nanoseconds);
  }
}

TEST(FileVersion, IdentityTellsFilesApart) {
  tests::ScopedTempDirectory dir;
  tests::WriteFileBytes(dir.path() / "a.bin", "same");
  tests::WriteFileBytes(dir.path() / "b.bin", "same");
  for (const char* name : {"a.bin", "b.bin"}) {
    ASSERT_TRUE(tests::SetModifiedTime((dir.path() / name).string(), 1700000000, 123456700));
  }
  const std::optional<platform::FileVersion> a = VersionOf(dir.path() / "a.bin");
  const std::optional<platform::FileVersion> again = VersionOf(dir.path() / "a.bin");
  const std::optional<platform::FileVersion> b = VersionOf(dir.path() / "b.bin");
  ASSERT_TRUE(a && again && b);
  EXPECT_EQ(a->size, 4);
  // The same file, opened twice, is the same file; another file of the same size and time
  // is not.
  EXPECT_EQ(a->volume, again->volume);
  EXPECT_EQ(a->fileIndex, again->fileIndex);
  EXPECT_EQ(a->modifiedSeconds, b->modifiedSeconds);
  EXPECT_EQ(a->modifiedNanoseconds, b->modifiedNanoseconds);
  EXPECT_TRUE(a->volume != b->volume || a->fileIndex != b->fileIndex);
  // No version of a file that is not open.
  EXPECT_FALSE(platform::File().Version().has_value());
}

}  // namespace
}  // namespace qc
