// A folder share answers as a file share does, with its archive for the file: every range,
// condition and one-shot rule of the writer, the archive's bytes from the listing the
// request found, and an answer that ends short when a file changes under it. The archive's
// own bytes are pinned by test_zip_archive.cpp; here they are only the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "http/request_parser.h"
#include "http/response_writer.h"
#include "http/validators.h"
#include "platform/folder_listing.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "shares/share_registry.h"
#include "shares/zip_archive.h"
#include "unit/archive_support.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

namespace fs = std::filesystem;
using namespace tests::wire;
using tests::CapturingSink;

// What the folder's archive is now: its bytes (read through a cache of its own), length, tag
// and date, made the way the tests of the archive make it.
struct Reference {
  std::string bytes;
  std::string tag;
  std::string lastModified;
};

Reference ArchiveNow(const fs::path& folder) {
  const std::optional<platform::FolderListing> listing = platform::ListFolder(folder.string());
  EXPECT_TRUE(listing.has_value());
  if (!listing) return {};
  const ZipArchive archive(*listing);
  CrcCache crcs;
  tests::MemoryArchiveSink sink;
  EXPECT_EQ(archive.Send(sink, 0, archive.Size(), crcs).outcome, ArchiveSendOutcome::Sent);
  return {sink.bytes, archive.EntityTag(), *FormatHttpDate(archive.NewestModifiedSeconds())};
}

std::string ZipLines(const Reference& r) {
  return "Last-Modified: " + r.lastModified + "\r\nETag: " + r.tag + "\r\n";
}

std::string ZipHead(int status, std::int64_t first, std::int64_t last, const Reference& r) {
  const auto size = static_cast<std::int64_t>(r.bytes.size());
  std::string head =
      status == 200 ? Head200(size, ZipLines(r)) : Head206(first, last, size, ZipLines(r));
  const std::string octet = "application/octet-stream";
  head.replace(head.find(octet), octet.size(), "application/zip");
  return head;
}

class FolderShareTest : public ::testing::Test {
 protected:
  FolderShareTest() : folder_(temp_.path() / "photos") {
    fs::create_directories(folder_ / "empty");
    fs::create_directories(folder_ / "trip" / "day 1");
    tests::WriteFileBytes(folder_ / "a.txt", "hello\n");
    tests::WriteFileBytes(folder_ / "trip" / "day 1" / "big.bin", Content(70000));
    tests::WriteFileBytes(folder_ / "trip" / "notes.txt", Content(9000));
  }

  SharePtr Share(std::uint32_t flags = 0) {
    return shares_.AppendShare(folder_.string(), "/photos.zip", flags, ShareKind::Folder);
  }

  CapturingSink Get(const std::string& lines, ShareRegistry& shares, bool head = false) {
    const std::string text =
        std::string(head ? "HEAD" : "GET") + " /photos.zip HTTP/1.1\r\n" + lines + "\r\n";
    CapturingSink sink;
    WriteResponse(ParseRequest(text.data(), static_cast<std::int32_t>(text.size())), shares, sink);
    return sink;
  }
  CapturingSink Get(const std::string& lines = "", bool head = false) {
    return Get(lines, shares_, head);
  }

  tests::ScopedTempDirectory temp_;
  fs::path folder_;
  ShareRegistry shares_;
};

struct FolderRangeCase {
  const char* name;
  const char* range;  // "" for none
  int status;
  // The bytes the body holds: from `first` (negative: counted back from the end) to
  // `last` (negative: counted back from the end, -1 the last byte).
  std::int64_t first;
  std::int64_t last;
  bool withdraws;
};

class FolderRangeTable : public FolderShareTest,
                         public ::testing::WithParamInterface<FolderRangeCase> {};

// Each answer is the archive's own bytes for its range; an answer that sends the last byte
// withdraws a one-shot share, any other leaves it.
TEST_P(FolderRangeTable, SendsTheArchivesBytes) {
  const FolderRangeCase& c = GetParam();
  const Reference r = ArchiveNow(folder_);
  const auto size = static_cast<std::int64_t>(r.bytes.size());
  const SharePtr share = Share(kOneShot);
  const CapturingSink sink = Get(*c.range ? std::string("Range: bytes=") + c.range + "\r\n" : "");
  if (c.status == 416) {
    EXPECT_EQ(sink.All(), RangeNotSatisfiable(size));
  } else {
    const std::int64_t first = c.first < 0 ? size + c.first : c.first;
    const std::int64_t last = c.last < 0 ? size + c.last : c.last;
    EXPECT_EQ(sink.All(), ZipHead(c.status, first, last, r) +
                              r.bytes.substr(static_cast<std::size_t>(first),
                                             static_cast<std::size_t>(last - first + 1)));
  }
  EXPECT_EQ(share->IsWithdrawn(), c.withdraws);
}

const FolderRangeCase kFolderRangeCases[] = {
    {"Whole", "", 200, 0, -1, true},
    {"Start", "0-99", 206, 0, 99, false},
    {"IntoTheBigFile", "1000-50000", 206, 1000, 50000, false},
    {"FromTheMiddle", "40000-", 206, 40000, -1, true},
    {"CentralDirectoryAlone", "-300", 206, -300, -1, true},
    {"LastByte", "-1", 206, -1, -1, true},
    {"OpenRange", "0-", 206, 0, -1, true},
    {"PastTheEnd", "99999999-", 416, 0, 0, false},
};
INSTANTIATE_TEST_SUITE_P(Folder, FolderRangeTable, ::testing::ValuesIn(kFolderRangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The conditions judge the archive's validators by the writer's own rules; HEAD gets the
// GET's head. `{TAG}` stands for the archive's tag, `{DATE}` for its Last-Modified.
struct FolderConditionCase {
  const char* name;
  const char* lines;
  bool head;
  int status;
};

class FolderConditionTable : public FolderShareTest,
                             public ::testing::WithParamInterface<FolderConditionCase> {};

TEST_P(FolderConditionTable, JudgesTheArchivesValidators) {
  const FolderConditionCase& c = GetParam();
  const Reference r = ArchiveNow(folder_);
  const auto size = static_cast<std::int64_t>(r.bytes.size());
  Share();
  std::string lines = c.lines;
  for (const auto& [mark, value] :
       {std::pair<std::string, std::string>{"{TAG}", r.tag}, {"{DATE}", r.lastModified}}) {
    const std::size_t at = lines.find(mark);
    if (at != std::string::npos) lines.replace(at, mark.size(), value);
  }
  const CapturingSink sink = Get(lines, c.head);
  std::string expected;
  switch (c.status) {
    case 200:
      expected = ZipHead(200, 0, 0, r) + (c.head ? "" : r.bytes);
      break;
    case 206:
      expected = ZipHead(206, 10, 19, r) + (c.head ? "" : r.bytes.substr(10, 10));
      break;
    case 304:
      expected = Head304(ZipLines(r));
      break;
    case 412:
      expected = c.head ? HeadOf(kPreconditionFailedPage) : kPreconditionFailedPage;
      break;
    case 416:
      expected = c.head ? HeadOf(RangeNotSatisfiable(size)) : RangeNotSatisfiable(size);
      break;
  }
  EXPECT_EQ(sink.All(), expected);
}

const FolderConditionCase kFolderConditionCases[] = {
    {"Head", "", true, 200},
    {"HeadOfARange", "Range: bytes=10-19\r\n", true, 206},
    {"IfRangeOurTag", "Range: bytes=10-19\r\nIf-Range: {TAG}\r\n", false, 206},
    {"IfRangeOtherTag", "Range: bytes=10-19\r\nIf-Range: \"z1-2\"\r\n", false, 200},
    {"IfRangeOurDateAlone", "Range: bytes=10-19\r\nIf-Range: {DATE}\r\n", false, 200},
    {"IfNoneMatch", "If-None-Match: {TAG}\r\n", false, 304},
    {"IfModifiedSince", "If-Modified-Since: {DATE}\r\n", false, 304},
    {"IfMatchOther", "If-Match: \"z1-2\"\r\n", false, 412},
    {"IfMatchOurs", "If-Match: {TAG}\r\nRange: bytes=10-19\r\n", false, 206},
    {"HeadPastTheEnd", "Range: bytes=99999999-\r\n", true, 416},
};
INSTANTIATE_TEST_SUITE_P(Folder, FolderConditionTable, ::testing::ValuesIn(kFolderConditionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A file that vanishes, shrinks, is rewritten or replaced between the listing and its
// bytes ends the answer short: never the whole announced length. The next request finds
// a new tag, so a resume with the old one gets the new archive whole.
struct ChangeCase {
  const char* name;
  void (*change)(const fs::path& folder);
};

class FolderChangeTable : public FolderShareTest,
                          public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(FolderChangeTable, EndsTheAnswerShortAndChangesTheTag) {
  const Reference before = ArchiveNow(folder_);
  Share(kOneShot);
  {
    const std::string text = "GET /photos.zip HTTP/1.1\r\n\r\n";
    ResponseDecision decision =
        DecideResponse(ParseRequest(text.data(), static_cast<std::int32_t>(text.size())), shares_);
    ASSERT_EQ(decision.kind, AnswerKind::WholeFile);
    GetParam().change(folder_);
    CapturingSink sink;
    const ResponseSummary summary = WriteDecidedResponse(decision, shares_, sink);
    EXPECT_TRUE(summary.incomplete);
    EXPECT_LT(summary.bodyBytes, static_cast<long long>(before.bytes.size()));
    EXPECT_FALSE(decision.share->IsWithdrawn());
  }

  const Reference after = ArchiveNow(folder_);
  EXPECT_NE(after.tag, before.tag);
  EXPECT_EQ(Get("Range: bytes=100-\r\nIf-Range: " + before.tag + "\r\n").All(),
            ZipHead(200, 0, 0, after) + after.bytes);
}

void SetTimeBack(const fs::path& file) {
  fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
}

const ChangeCase kChangeCases[] = {
    {"Vanished", [](const fs::path& f) { fs::remove(f / "trip" / "day 1" / "big.bin"); }},
    {"Shrank", [](const fs::path& f) { fs::resize_file(f / "trip" / "day 1" / "big.bin", 100); }},
    {"RewrittenSameSize",
     [](const fs::path& f) {
       tests::WriteFileBytes(f / "trip" / "notes.txt", std::string(9000, 'x'));
       SetTimeBack(f / "trip" / "notes.txt");
     }},
    {"Replaced",
     [](const fs::path& f) {
       tests::WriteFileBytes(f / "new.tmp", Content(9000));
       fs::rename(f / "new.tmp", f / "trip" / "notes.txt");
     }},
};
INSTANTIATE_TEST_SUITE_P(Folder, FolderChangeTable, ::testing::ValuesIn(kChangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The same folder gives the same bytes and tag to every request and to a server started
// again (a registry and a cache of its own); the share's cache keeps the CRCs it read.
TEST_F(FolderShareTest, SameBytesAndTagAfterARestart) {
  const SharePtr share = Share();
  const std::string first = Get().All();
  EXPECT_EQ(share->folderCrcs->Count(), 3u);
  EXPECT_EQ(Get().All(), first);
  ShareRegistry restarted;
  restarted.AppendShare(folder_.string(), "/photos.zip", 0, ShareKind::Folder);
  EXPECT_EQ(Get("", restarted).All(), first);
  EXPECT_EQ(first, ZipHead(200, 0, 0, ArchiveNow(folder_)) + ArchiveNow(folder_).bytes);
}

// A one-shot folder share is claimed only once the client acknowledged what went before
// the last piece; a share whose folder is gone answers 404 as a missing file does; a file
// share whose path became a folder does not start sending it.
TEST_F(FolderShareTest, OneShotClaimAndMissingFolders) {
  const SharePtr share = Share(kOneShot);
  CapturingSink undelivered;
  undelivered.delivered = [](int) { return false; };
  const std::string text = "GET /photos.zip HTTP/1.1\r\n\r\n";
  const Request get = ParseRequest(text.data(), static_cast<std::int32_t>(text.size()));
  EXPECT_TRUE(WriteResponse(get, shares_, undelivered).incomplete);
  EXPECT_EQ(undelivered.deliveryWaits, 1);
  EXPECT_FALSE(share->IsWithdrawn());
  EXPECT_FALSE(Get().CutOff());
  EXPECT_TRUE(share->IsWithdrawn());
  EXPECT_EQ(Get().All(), kNotFoundPage);

  ShareRegistry other;
  other.AppendShare((temp_.path() / "gone").string(), "/photos.zip", 0, ShareKind::Folder);
  EXPECT_EQ(Get("", other).All(), kNotFoundPage);
  ShareRegistry fileShare;
  fileShare.AppendShare(folder_.string(), "/photos.zip", 0, ShareKind::File);
  EXPECT_EQ(Get("", fileShare).All(), kNotFoundPage);
}

// A folder is a folder share whether it is added or loaded from shared.cfg; a file, or a
// file not made yet, is a file share.
TEST_F(FolderShareTest, KindIsRecognisedWhenAddedAndWhenLoaded) {
  const std::string file = (temp_.path() / "f.txt").string();
  tests::WriteFileBytes(file, "x");
  const std::string missing = (temp_.path() / "later.txt").string();
  const StoredFiles stored = tests::StoredHere();
  ShareRegistry added;
  for (const auto& [path, folder] :
       {std::pair<std::string, bool>{folder_.string(), true}, {file, false}, {missing, false}}) {
    SCOPED_TRACE(path);
    const AddedShare a = AddShare(stored, added, path, "/v" + std::to_string(added.Count()), 0,
                                  VirtualPathOrigin::Typed);
    EXPECT_EQ(a.share->IsFolder(), folder);
  }
  ShareRegistry loaded;
  ASSERT_NE(LoadShares(stored, loaded), 0);
  ASSERT_EQ(loaded.Count(), 3u);
  EXPECT_TRUE(loaded.ShareAt(0)->IsFolder());
  EXPECT_FALSE(loaded.ShareAt(1)->IsFolder());
  EXPECT_FALSE(loaded.ShareAt(2)->IsFolder());
}

// A record whose path is missing at the start keeps its kind from its name: a folder on a
// drive not plugged in yet answers 404 meanwhile and serves its archive once it is back;
// a missing file stays a file share.
TEST_F(FolderShareTest, MissingFolderLoadsAsAFolderShare) {
  const fs::path away = temp_.path() / "away";
  struct Case {
    const char* physical;  // in `away`
    const char* virtualPath;
    bool folder;
  };
  const Case cases[] = {
      // The names folder shares get, numbered copies among them.
      {"photos", "/photos.zip", true},
      {"trip", "/pub/trip (3).zip", true},
      {"old.zip", "/old.zip.zip", true},
      {"new.zip", "/new.zip (2).zip", true},
      // A name typed for the archive.
      {"holiday", "/Holiday 2024.ZIP", true},
      // Files: an archive missing, a numbered copy of one, a number AddShare never makes.
      {"a.zip", "/a.zip", false},
      {"b.zip", "/b (2).zip", false},
      {"c.zip", "/c.zip (02).zip", false},
      {"report.txt", "/report.txt", false},
      {"notes", "/notes", false},
  };

  std::string records;
  for (const Case& c : cases) {
    ASSERT_TRUE(EncodeShareRecord(records, c.virtualPath, (away / c.physical).string(), 0));
  }
  tests::WriteFileBytes("shared.cfg", records);
  ShareRegistry loaded;
  ASSERT_NE(LoadShares(tests::StoredHere(), loaded), 0);
  ASSERT_EQ(loaded.Count(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(loaded.ShareAt(static_cast<std::int32_t>(i))->IsFolder(), cases[i].folder)
        << cases[i].virtualPath;
  }

  // The first record is "/photos.zip": missing, then the folder comes back.
  EXPECT_EQ(Get("", loaded).All(), kNotFoundPage);
  fs::create_directories(away);
  fs::rename(folder_, away / "photos");
  EXPECT_EQ(Get("", loaded).All(),
            ZipHead(200, 0, 0, ArchiveNow(away / "photos")) + ArchiveNow(away / "photos").bytes);
}

}  // namespace
}  // namespace qc

namespace qc {
namespace {

// A folder's link is its name and ".zip", whatever separators end the path; a root is named
// as the archive's top folder is.
TEST(FolderVirtualPath, IsTheFoldersNameAndZip) {
  struct Case {
    const char* physical;  // '/' stands for the system's separator
    const char* defaultFolder;
    std::optional<std::string> virtualPath;
  };
  const Case cases[] = {
      {"/srv/photos", "", "/photos.zip"},
      {"/srv/photos/", "", "/photos.zip"},
      {"/srv/photos//", "", "/photos.zip"},
      {"/photos", "", "/photos.zip"},
      {"/srv/Trip 2024", "/pub", "/pub/Trip 2024.zip"},
      {"/srv/notes.d", "", "/notes.d.zip"},
      {"/", "", "/root.zip"},
      {"photos", "", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string physical = c.physical;
    std::replace(physical.begin(), physical.end(), '/', platform::kPathSeparator);
    SCOPED_TRACE(physical);
    ServerSettings settings;
    settings.defaultFolder = c.defaultFolder;
    EXPECT_EQ(MakeFolderVirtualPath(settings, physical), c.virtualPath);
  }
  if (platform::kPathSeparator == '\\') {
    EXPECT_EQ(MakeFolderVirtualPath(ServerSettings{}, "C:\\"), "/C.zip");
    EXPECT_EQ(WithoutTrailingSeparators("C:\\"), "C:\\");
    EXPECT_EQ(MakeFolderVirtualPath(ServerSettings{}, "\\\\server\\share\\"), "/share.zip");
  }
}

}  // namespace
}  // namespace qc
