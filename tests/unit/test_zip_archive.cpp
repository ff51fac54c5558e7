// The archive a folder share sends: any range of it equals the same bytes of the whole,
// whatever the CRC cache knows; the same folder gives the same bytes and tag; a file that
// changes while it is sent fails the send; the Zip64 thresholds. Whether the bytes are a
// valid zip is judged by checkers written by others (tests/e2e/test_zip_archive.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/folder_listing.h"
#include "shares/zip_archive.h"
#include "unit/archive_support.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

namespace fs = std::filesystem;

using tests::Utf8Path;
using MemorySink = tests::MemoryArchiveSink;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// A small tree with what an archive has to get right: nesting, an empty folder, an empty
// file, names in Cyrillic and Japanese and names with blanks (natively names that are
// nothing but blanks; Windows drops trailing blanks from names), a file long enough for the
// file path (64 KiB and more) and one spread over several 1 MiB reads.
void MakeTree(const fs::path& top, bool withLargeFile = false) {
  fs::create_directories(top / "empty");
  fs::create_directories(top / "nested" / "deeper");
  fs::create_directories(top / Utf8Path("Папка"));
  const bool blankNames = platform::kPathSeparator == '/';
  const fs::path blank = top / (blankNames ? " " : " lead");
  fs::create_directories(blank);
  tests::WriteFileBytes(top / "a.txt", "hello\n");
  tests::WriteFileBytes(top / "zero", "");
  tests::WriteFileBytes(top / "nested" / "deeper" / "b.bin", RandomBytes(70000, 1));
  tests::WriteFileBytes(top / "nested" / "z.txt", std::string(1000, 'z'));
  tests::WriteFileBytes(top / Utf8Path("Папка") / Utf8Path("日本語.txt"), "konnichiwa");
  tests::WriteFileBytes(blank / (blankNames ? " x " : " x  y"), "blank");
  if (withLargeFile) tests::WriteFileBytes(top / "large.bin", RandomBytes(3'500'000, 2));
}

platform::FolderListing List(const fs::path& folder) {
  std::optional<platform::FolderListing> listing = platform::ListFolder(folder.string());
  EXPECT_TRUE(listing.has_value()) << folder.string();
  return listing ? *listing : platform::FolderListing{};
}

ArchiveSendResult SendRange(const ZipArchive& archive, CrcCache& crcs, std::int64_t first,
                            std::int64_t count, MemorySink& sink) {
  return archive.Send(sink, first, count, crcs);
}

std::string Whole(const ZipArchive& archive, CrcCache& crcs) {
  MemorySink sink;
  const ArchiveSendResult result = archive.Send(sink, 0, archive.Size(), crcs);
  EXPECT_EQ(result.outcome, ArchiveSendOutcome::Sent) << result.changedEntry;
  EXPECT_EQ(result.sent, archive.Size());
  return sink.bytes;
}

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
std::uint16_t U16At(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// Where the records of `whole` start, found by their signatures in the central directory
// (which names every local header's offset) and after it: the boundaries between local
// headers, data, descriptors, central headers and the end records.
std::vector<std::int64_t> Boundaries(const std::string& whole) {
  std::set<std::int64_t> cuts{0, static_cast<std::int64_t>(whole.size())};
  const std::size_t end = whole.size() - 22;
  EXPECT_EQ(U32At(whole, end), 0x06054b50u);
  std::size_t at = U32At(whole, end + 16);
  cuts.insert(static_cast<std::int64_t>(at));
  cuts.insert(static_cast<std::int64_t>(end));
  while (U32At(whole, at) == 0x02014b50u) {
    const std::size_t local = U32At(whole, at + 42);
    const std::uint32_t size = U32At(whole, at + 20);
    const std::size_t dataStart = local + 30 + U16At(whole, local + 26) + U16At(whole, local + 28);
    for (std::size_t cut : {local, dataStart, dataStart + size, dataStart + size + 16}) {
      if (cut <= whole.size()) cuts.insert(static_cast<std::int64_t>(cut));
    }
    at += 46 + U16At(whole, at + 28) + U16At(whole, at + 30) + U16At(whole, at + 32);
    cuts.insert(static_cast<std::int64_t>(at));
  }
  return {cuts.begin(), cuts.end()};
}

TEST(Crc32, KnownValuesAndContinuation) {
  struct Case {
    std::string bytes;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
      {std::string(32, '\0'), 0x190A55AD},
  };
  for (const Case& c : cases) EXPECT_EQ(Crc32(0, c.bytes.data(), c.bytes.size()), c.crc) << c.bytes;
  // Continued from any cut, eight-byte steps or not, the CRC is the whole's.
  const std::string bytes = RandomBytes(1001, 3);
  const std::uint32_t whole = Crc32(0, bytes.data(), bytes.size());
  for (std::size_t cut : {0, 1, 7, 8, 9, 500, 1000, 1001}) {
    const std::uint32_t first = Crc32(0, bytes.data(), cut);
    EXPECT_EQ(Crc32(first, bytes.data() + cut, bytes.size() - cut), whole) << cut;
  }
}

TEST(ZipArchive, EveryRangeCutAtTheRecordsEqualsTheWholeColdOrWarm) {
  tests::ScopedTempDirectory dir;
  MakeTree(dir.path() / "top");
  const ZipArchive archive(List(dir.path() / "top"));
  CrcCache warm;
  const std::string whole = Whole(archive, warm);
  ASSERT_EQ(static_cast<std::int64_t>(whole.size()), archive.Size());
  // Every record boundary, and a byte either side of it (a range may start or end one byte
  // into a header, a descriptor or the data).
  std::set<std::int64_t> points;
  for (std::int64_t cut : Boundaries(whole)) {
    for (std::int64_t p : {cut - 1, cut, cut + 1}) {
      if (p >= 0 && p <= archive.Size()) points.insert(p);
    }
  }
  const std::vector<std::int64_t> cuts(points.begin(), points.end());
  ASSERT_GT(cuts.size(), 60u);
  int failures = 0;
  for (std::size_t i = 0; i < cuts.size() && failures < 5; ++i) {
    for (std::size_t j = i + 1; j < cuts.size() && failures < 5; ++j) {
      // Ranges across up to a few records, and every range that starts at the start or
      // runs to the end: the short ones cover every pair of neighbouring cuts.
      if (j - i > 12 && i != 0 && j != cuts.size() - 1) continue;
      const std::int64_t first = cuts[i];
      const std::int64_t count = cuts[j] - cuts[i];
      for (bool cold : {true, false}) {
        CrcCache fresh;
        MemorySink sink;
        const ArchiveSendResult result =
            SendRange(archive, cold ? fresh : warm, first, count, sink);
        if (result.outcome != ArchiveSendOutcome::Sent || result.sent != count ||
            sink.bytes !=
                whole.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count))) {
          ADD_FAILURE() << "range " << first << "+" << count << (cold ? " cold" : " warm")
                        << ": outcome " << static_cast<int>(result.outcome) << ", sent "
                        << result.sent;
          ++failures;
        }
      }
    }
  }
}

TEST(ZipArchive, RangesOutsideTheArchiveSendNothing) {
  tests::ScopedTempDirectory dir;
  MakeTree(dir.path() / "top");
  const ZipArchive archive(List(dir.path() / "top"));
  CrcCache crcs;
  const std::int64_t size = archive.Size();
  const std::pair<std::int64_t, std::int64_t> bad[] = {
      {-1, 1}, {0, size + 1}, {size, 1}, {1, -1}, {size - 1, INT64_MAX}};
  for (const auto& [first, count] : bad) {
    MemorySink sink;
    EXPECT_EQ(SendRange(archive, crcs, first, count, sink).outcome, ArchiveSendOutcome::BadRange)
        << first << "+" << count;
    EXPECT_TRUE(sink.bytes.empty());
  }
  MemorySink sink;
  EXPECT_EQ(SendRange(archive, crcs, size, 0, sink).outcome, ArchiveSendOutcome::Sent);
}

TEST(ZipArchive, SameFolderSameBytesAndTagAgainAndAfterARestart) {
  tests::ScopedTempDirectory dir;
  MakeTree(dir.path() / "top", true);
  CrcCache crcs;
  const ZipArchive first(List(dir.path() / "top"));
  const std::string bytes = Whole(first, crcs);
  // Again with what the cache learnt, then as a restarted server would: a new listing and
  // an empty cache.
  const ZipArchive second(List(dir.path() / "top"));
  EXPECT_EQ(Whole(second, crcs), bytes);
  crcs.Clear();
  const ZipArchive third(List(dir.path() / "top"));
  EXPECT_EQ(Whole(third, crcs), bytes);
  EXPECT_EQ(second.EntityTag(), first.EntityTag());
  EXPECT_EQ(third.EntityTag(), first.EntityTag());
  EXPECT_EQ(third.Size(), first.Size());
}

TEST(ZipArchive, ChangedFolderGetsANewTagAndItsNewestTime) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  const auto setTime = [&](const fs::path& p, std::int64_t s) {
    ASSERT_TRUE(tests::SetModifiedTime(p.string(), s, 0)) << p.string();
  };
  const auto reset = [&] {
    fs::remove_all(top);
    fs::create_directories(top / "sub");
    tests::WriteFileBytes(top / "sub" / "f.txt", "12345");
    tests::WriteFileBytes(top / "g.txt", "abc");
    setTime(top / "sub" / "f.txt", 1'600'000'000);
    setTime(top / "g.txt", 1'500'000'000);
    setTime(top / "sub", 1'400'000'000);
    setTime(top, 1'300'000'000);
  };
  reset();
  const ZipArchive original(List(top));
  EXPECT_EQ(original.NewestModifiedSeconds(), 1'600'000'000);
  struct Change {
    const char* what;
    std::function<void()> apply;
    std::int64_t newest;
  };
  const Change changes[] = {
      {"same bytes, a later time", [&] { setTime(top / "g.txt", 1'700'000'000); }, 1'700'000'000},
      {"a time a nanosecond-step later",
       [&] { ASSERT_TRUE(tests::SetModifiedTime((top / "g.txt").string(), 1'500'000'000, 100)); },
       1'600'000'000},
      {"other bytes of the same length and time",
       [&] {
         // Written beside it and renamed over it, as editors save.
         tests::WriteFileBytes(top / "g.new", "xyz");
         setTime(top / "g.new", 1'500'000'000);
         fs::rename(top / "g.new", top / "g.txt");
         setTime(top, 1'300'000'000);
       },
       1'600'000'000},
      {"a file added",
       [&] {
         tests::WriteFileBytes(top / "h.txt", "");
         setTime(top / "h.txt", 1'000'000'000);
         setTime(top, 1'300'000'000);
       },
       1'600'000'000},
      {"a file renamed",
       [&] {
         fs::rename(top / "g.txt", top / "f.txt");
         setTime(top, 1'300'000'000);
       },
       1'600'000'000},
      {"an empty folder added",
       [&] {
         fs::create_directory(top / "new");
         setTime(top / "new", 1'000'000'000);
         setTime(top, 1'300'000'000);
       },
       1'600'000'000},
      {"a folder's time", [&] { setTime(top / "sub", 1'800'000'000); }, 1'800'000'000},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    reset();
    change.apply();
    const ZipArchive changed(List(top));
    EXPECT_NE(changed.EntityTag(), original.EntityTag());
    EXPECT_EQ(changed.NewestModifiedSeconds(), change.newest);
  }
}

// A file that is no longer what the listing saw, before or while its bytes go out, fails
// the send before the archive is complete.
TEST(ZipArchive, FileChangedSinceTheListingFailsTheSend) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  const fs::path victim = top / "nested" / "z.txt";
  std::optional<std::ofstream> writer;
  struct Change {
    const char* what;
    std::function<void()> apply;
  };
  const Change changes[] = {
      {"vanished", [&] { fs::remove(victim); }},
      {"shrank, time kept",
       [&] {
         const platform::FileVersion before =
             *platform::File::OpenSharedRead(victim.string()).Version();
         fs::resize_file(victim, 999);
         ASSERT_TRUE(tests::SetModifiedTime(victim.string(), before.modifiedSeconds,
                                            before.modifiedNanoseconds));
       }},
      {"a later time, the same bytes",
       [&] {
         const platform::FileVersion before =
             *platform::File::OpenSharedRead(victim.string()).Version();
         ASSERT_TRUE(tests::SetModifiedTime(victim.string(), before.modifiedSeconds + 1,
                                            before.modifiedNanoseconds));
       }},
      {"another file of the same size and time in its place",
       [&] {
         const platform::FileVersion before =
             *platform::File::OpenSharedRead(victim.string()).Version();
         tests::WriteFileBytes(top / "other", std::string(1000, 'y'));
         ASSERT_TRUE(tests::SetModifiedTime((top / "other").string(), before.modifiedSeconds,
                                            before.modifiedNanoseconds));
         fs::remove(victim);
         fs::rename(top / "other", victim);
       }},
      {"held open for writing by another program", [&] { writer.emplace(victim, std::ios::app); }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    writer.reset();
    fs::remove_all(top);
    MakeTree(top, true);
    const ZipArchive archive(List(top));
    // A download before the change: the cache knows the old version's CRCs.
    CrcCache warm;
    const std::string whole = Whole(archive, warm);
    const std::int64_t central = U32At(whole, whole.size() - 22 + 16);
    change.apply();
    for (bool cold : {true, false}) {
      SCOPED_TRACE(cold ? "cold" : "warm");
      CrcCache fresh;
      MemorySink sink;
      const ArchiveSendResult result = archive.Send(sink, 0, archive.Size(), cold ? fresh : warm);
      EXPECT_EQ(result.outcome, ArchiveSendOutcome::EntryChanged);
      EXPECT_EQ(result.changedEntry, "nested/z.txt");
      EXPECT_LT(result.sent, archive.Size());
    }
    // The central directory alone holds none of the file's bytes, but its CRC: with the
    // cache cold it is read, and found changed.
    CrcCache fresh;
    MemorySink sink;
    EXPECT_EQ(archive.Send(sink, central, archive.Size() - central, fresh).outcome,
              ArchiveSendOutcome::EntryChanged);
  }
  writer.reset();
}

// The file is rewritten while its bytes go out through the file path (the cache knows its
// CRC, so nothing else reads it): the send notices once the bytes are out, and fails before
// the descriptor and the central directory make the archive look complete.
TEST(ZipArchive, FileRewrittenWhileSentFailsTheSend) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  MakeTree(top, true);
  const ZipArchive archive(List(top));
  CrcCache crcs;
  const std::string whole = Whole(archive, crcs);
  MemorySink sink;
  bool rewritten = false;
  sink.onFileSend = [&] {
    if (rewritten) return;
    rewritten = true;
    const platform::FileVersion before =
        *platform::File::OpenSharedRead((top / "large.bin").string()).Version();
    ASSERT_TRUE(
        tests::SetModifiedTime((top / "large.bin").string(), before.modifiedSeconds + 5, 0));
  };
  const ArchiveSendResult result = archive.Send(sink, 0, archive.Size(), crcs);
  EXPECT_TRUE(rewritten);
  EXPECT_EQ(result.outcome, ArchiveSendOutcome::EntryChanged);
  EXPECT_EQ(result.changedEntry, "large.bin");
  EXPECT_LT(result.sent, archive.Size());
  EXPECT_EQ(sink.bytes, whole.substr(0, sink.bytes.size()));
}

// A first download computes the CRCs as the bytes go out; a download cut off in the middle
// of a file leaves the CRC of what was read, so its resume sends the bytes before that
// point through the file path and reads only the rest; the next whole download reads no
// file for its CRCs at all.
TEST(ZipArchive, TheCacheSavesReadingFilesAgain) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  MakeTree(top, true);
  const ZipArchive archive(List(top));
  std::string whole;
  {
    CrcCache crcs;
    MemorySink sink;
    ASSERT_EQ(archive.Send(sink, 0, archive.Size(), crcs).outcome, ArchiveSendOutcome::Sent);
    EXPECT_EQ(sink.fileSends, 0) << "a cold first download reads every file for its CRC";
    whole = sink.bytes;
    MemorySink again;
    ASSERT_EQ(archive.Send(again, 0, archive.Size(), crcs).outcome, ArchiveSendOutcome::Sent);
    EXPECT_EQ(again.bytes, whole);
    EXPECT_EQ(again.fileBytes, 3'500'000 + 70000) << "the files of 64 KiB and more";
  }
  const std::string large = RandomBytes(3'500'000, 2);
  const std::size_t dataStart = whole.find(large.substr(0, 64));
  ASSERT_NE(dataStart, std::string::npos);
  // The client goes away 1.5 MiB into the large file.
  CrcCache crcs;
  MemorySink cut;
  cut.failAfter = static_cast<long long>(dataStart) + 1'500'000;
  const ArchiveSendResult broken = archive.Send(cut, 0, archive.Size(), crcs);
  EXPECT_EQ(broken.outcome, ArchiveSendOutcome::SinkFailed);
  ASSERT_LT(broken.sent, archive.Size());
  // It resumes from what it got (a little less than the server read).
  const std::int64_t resumeAt = broken.sent - 100'000;
  MemorySink resumed;
  const ArchiveSendResult result = archive.Send(resumed, resumeAt, archive.Size() - resumeAt, crcs);
  ASSERT_EQ(result.outcome, ArchiveSendOutcome::Sent);
  EXPECT_EQ(resumed.bytes, whole.substr(static_cast<std::size_t>(resumeAt)));
  EXPECT_GT(resumed.fileBytes, 0) << "the part whose CRC was known went through the file path";
  EXPECT_LT(resumed.fileBytes, 3'500'000);
}

// Every request for a share uses its one cache at once: downloads and ranges that start
// cold, in several threads, all get the whole's bytes.
TEST(ZipArchive, ConcurrentSendsShareOneCache) {
  tests::ScopedTempDirectory dir;
  MakeTree(dir.path() / "top", true);
  const ZipArchive archive(List(dir.path() / "top"));
  std::string whole;
  {
    CrcCache own;
    whole = Whole(archive, own);
  }
  CrcCache shared;
  constexpr int kThreads = 4;
  std::vector<std::string> got(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // Halves and the whole, starting at different places.
      const std::int64_t first = i % 2 == 0 ? 0 : archive.Size() / 2;
      MemorySink sink;
      if (archive.Send(sink, first, archive.Size() - first, shared).outcome ==
          ArchiveSendOutcome::Sent) {
        got[static_cast<std::size_t>(i)] = sink.bytes;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    const std::size_t first = i % 2 == 0 ? 0 : static_cast<std::size_t>(archive.Size() / 2);
    EXPECT_TRUE(got[static_cast<std::size_t>(i)] == whole.substr(first)) << "thread " << i;
  }
  EXPECT_EQ(Whole(archive, shared), whole);
}

// Listings made up in memory: no file is read for empty files, and the large one's CRC is
// put into the cache, so its headers and descriptor go out without it.
platform::FolderListing MadeUpListing(std::vector<std::int64_t> sizes) {
  platform::FolderListing listing;
  listing.root = "no such folder";
  listing.name = "top";
  listing.rootVersion.modifiedSeconds = 1'700'000'000;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    platform::FolderEntry entry;
    entry.path = "f";  // appended: "f" + ... trips gcc 12's -Wrestrict
    entry.path += std::to_string(i);
    entry.version.size = sizes[i];
    entry.version.modifiedSeconds = 1'700'000'000;
    entry.version.fileIndex = i + 1;
    listing.entries.push_back(entry);
  }
  return listing;
}

std::optional<platform::CalendarTime> FixedTime(std::int64_t) {
  return platform::CalendarTime{2021, 3, 4, 5, 6, 7};
}

TEST(ZipArchive, Zip64EndRecordsFromTheEntryCountOn) {
  struct Case {
    std::size_t files;  // the top folder is an entry too
    bool zip64;
  };
  for (const Case c : {Case{65533, false}, Case{65534, true}}) {
    SCOPED_TRACE(c.files);
    const ZipArchive archive(MadeUpListing(std::vector<std::int64_t>(c.files, 0)), FixedTime);
    EXPECT_EQ(archive.EntryCount(), c.files + 1);
    EXPECT_EQ(archive.UsesZip64(), c.zip64);
    CrcCache crcs;
    const std::string whole = Whole(archive, crcs);
    const std::size_t end = whole.size() - 22;
    ASSERT_EQ(U32At(whole, end), 0x06054b50u);
    EXPECT_EQ(U16At(whole, end + 10), c.zip64 ? 0xFFFF : c.files + 1);
    if (c.zip64) {
      ASSERT_EQ(U32At(whole, end - 20), 0x07064b50u);  // the locator
      const std::size_t record = U32At(whole, end - 20 + 8);
      ASSERT_EQ(U32At(whole, record), 0x06064b50u);
      EXPECT_EQ(U32At(whole, record + 32), c.files + 1);  // entries, low half
    }
  }
}

// An entry of 0xFFFFFFFF bytes or more can no longer give its size in 32 bits: its local
// header says so (0xFFFFFFFF, a Zip64 extra field), its descriptor takes 8-byte sizes and
// its central header a Zip64 extra field; one a byte shorter needs none of it. The DOS
// fields come from the local time given.
TEST(ZipArchive, Zip64FieldsFromTheEntrySizeOn) {
  struct Case {
    std::int64_t size;
    bool zip64;
  };
  for (const Case c :
       {Case{0xFFFFFFFE, false}, Case{0xFFFFFFFF, true}, Case{5LL * 1024 * 1024 * 1024, true}}) {
    SCOPED_TRACE(c.size);
    const platform::FolderListing listing = MadeUpListing({c.size});
    const ZipArchive archive(listing, FixedTime);
    CrcCache crcs;
    crcs.Remember("f0", listing.entries[0].version, {c.size, 0x12345678});
    // The top folder's local header, then the file's; "top/f0" is 6 bytes, the extended
    // timestamp 9.
    const std::int64_t local = 30 + 4 + 9;
    const std::int64_t dataStart = local + 30 + 6 + 9 + (c.zip64 ? 20 : 0);
    MemorySink head;
    ASSERT_EQ(archive.Send(head, 0, dataStart, crcs).outcome, ArchiveSendOutcome::Sent);
    const std::string& h = head.bytes;
    EXPECT_EQ(U16At(h, local + 6), 0x0808) << "descriptor and UTF-8 flags";
    EXPECT_EQ(U16At(h, local + 10), (5 << 11) | (6 << 5) | 3) << "DOS time 05:06:07";
    EXPECT_EQ(U16At(h, local + 12), (41 << 9) | (3 << 5) | 4) << "DOS date 2021-03-04";
    EXPECT_EQ(U32At(h, local + 18), c.zip64 ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(U16At(h, local + 28), c.zip64 ? 29 : 9);
    const std::int64_t descriptorStart = dataStart + c.size;
    MemorySink tail;
    ASSERT_EQ(archive.Send(tail, descriptorStart, archive.Size() - descriptorStart, crcs).outcome,
              ArchiveSendOutcome::Sent);
    const std::string& t = tail.bytes;
    EXPECT_EQ(U32At(t, 0), 0x08074b50u);
    EXPECT_EQ(U32At(t, 4), 0x12345678u);
    const std::size_t central = c.zip64 ? 24 : 16;
    EXPECT_EQ(U32At(t, central), 0x02014b50u) << "the top folder's central header";
    const std::size_t file = central + 46 + 4 + 9;
    EXPECT_EQ(U32At(t, file + 16), 0x12345678u);
    EXPECT_EQ(U32At(t, file + 24), c.zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(c.size));
    EXPECT_EQ(U16At(t, file + 30), c.zip64 ? 9 + 20 : 9) << "extra fields";
    if (c.zip64) {
      EXPECT_EQ(U16At(t, file + 46 + 6), 0x0001);
      EXPECT_EQ(U32At(t, file + 46 + 6 + 4), static_cast<std::uint32_t>(c.size));
      EXPECT_EQ(U32At(t, file + 46 + 6 + 8), static_cast<std::uint32_t>(c.size >> 32));
    }
    EXPECT_EQ(archive.Size(), descriptorStart + static_cast<std::int64_t>(t.size()));
  }
}

TEST(ZipArchive, DosTimesHeldAtTheEndsOfTheirRange) {
  struct Case {
    platform::CalendarTime local;
    std::uint16_t time;
    std::uint16_t date;
  };
  const Case cases[] = {
      {{1979, 12, 31, 23, 59, 59}, 0, (0 << 9) | (1 << 5) | 1},
      {{1980, 1, 1, 0, 0, 1}, 0, (0 << 9) | (1 << 5) | 1},
      {{2107, 12, 31, 23, 59, 59}, (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},
      {{2200, 6, 1, 12, 0, 0}, (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local.year);
    const ZipArchive archive(MadeUpListing({}), [&](std::int64_t) { return c.local; });
    CrcCache crcs;
    const std::string whole = Whole(archive, crcs);
    EXPECT_EQ(U16At(whole, 10), c.time);
    EXPECT_EQ(U16At(whole, 12), c.date);
  }
}

}  // namespace
}  // namespace qc
