// What a native listing leaves out (links wherever they lead, FIFOs, sockets) and what it
// keeps as it stands (names that are not UTF-8), and that the archive of such a folder
// still goes out whole.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/folder_listing.h"
#include "shares/folder_rules.h"
#include "shares/zip_archive.h"
#include "unit/archive_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

namespace fs = std::filesystem;

using tests::ListedPaths;

TEST(FolderListingNative, LinksAndSpecialFilesAreLeftOut) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  fs::create_directories(top / "inside");
  tests::WriteFileBytes(top / "inside" / "real.txt", "real");
  tests::WriteFileBytes(dir.path() / "secret.txt", "outside");
  fs::create_directories(dir.path() / "elsewhere");
  tests::WriteFileBytes(dir.path() / "elsewhere" / "more.txt", "outside too");
  fs::create_symlink(dir.path() / "secret.txt", top / "to-outside-file");
  fs::create_directory_symlink(dir.path() / "elsewhere", top / "to-outside-folder");
  fs::create_symlink("inside/real.txt", top / "to-inside-file");
  fs::create_directory_symlink("inside", top / "to-inside-folder");
  fs::create_directory_symlink("..", top / "inside" / "loop");
  fs::create_symlink("nothing", top / "dangling");
  ASSERT_EQ(::mkfifo((top / "fifo").c_str(), 0600), 0);
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (top / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const std::optional<platform::FolderListing> listing = platform::ListFolder(top.string());
  ::close(s);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(ListedPaths(*listing), (std::vector<std::string>{"inside", "inside/real.txt"}));
  EXPECT_TRUE(listing->leftOut.empty());

  // The folder given as a link is followed (the user chose it), and keeps the link's name.
  fs::create_directory_symlink(top, dir.path() / "chosen");
  const std::optional<platform::FolderListing> through =
      platform::ListFolder((dir.path() / "chosen").string());
  ASSERT_TRUE(through.has_value());
  EXPECT_EQ(through->name, "chosen");
  EXPECT_EQ(ListedPaths(*through), ListedPaths(*listing));
}

TEST(FolderListingNative, NamesThatAreNotUtf8GoOutAsTheirBytesWithoutTheUtf8Flag) {
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  fs::create_directories(top);
  const std::string latin1 = "caf\xE9";  // "café" in Latin-1: not UTF-8
  tests::WriteFileBytes(top / latin1, "");
  tests::WriteFileBytes(top / "caf\xC3\xA9", "");  // the same name in UTF-8
  const std::optional<platform::FolderListing> listing = platform::ListFolder(top.string());
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ(ListedPaths(*listing), (std::vector<std::string>{"caf\xC3\xA9", latin1}));
  const ZipArchive archive(*listing);
  CrcCache crcs;
  tests::MemoryArchiveSink sink;
  ASSERT_EQ(archive.Send(sink, 0, archive.Size(), crcs).outcome, ArchiveSendOutcome::Sent);
  // Each empty file's local header: the flags at 6, the name at 30.
  for (const auto& [name, flags] :
       {std::pair{"top/caf\xC3\xA9", 0x0808}, {"top/caf\xE9", 0x0008}}) {
    const std::size_t nameAt = sink.bytes.find(name);
    ASSERT_NE(nameAt, std::string::npos) << name;
    const std::size_t header = nameAt - 30;
    const int got = static_cast<unsigned char>(sink.bytes[header + 6]) |
                    (static_cast<unsigned char>(sink.bytes[header + 7]) << 8);
    EXPECT_EQ(got, flags) << name;
  }
}

TEST(FolderListingNative, FoldersThisUserCannotOpenAreNamedAsLeftOut) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens every folder";
  tests::ScopedTempDirectory dir;
  const fs::path top = dir.path() / "top";
  fs::create_directories(top / "closed" / "inner");
  tests::WriteFileBytes(top / "open.txt", "x");
  fs::permissions(top / "closed", fs::perms::none);
  const std::optional<platform::FolderListing> listing = platform::ListFolder(top.string());
  fs::permissions(top / "closed", fs::perms::owner_all);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(ListedPaths(*listing), (std::vector<std::string>{"open.txt"}));
  EXPECT_EQ(listing->leftOut, (std::vector<std::string>{"closed"}));
}

TEST(FolderListingNative, HomeAndVolumeRootsForTheRule) {
  tests::ScopedTempDirectory dir;
  EXPECT_TRUE(platform::IsVolumeRoot("/"));
  EXPECT_FALSE(platform::IsVolumeRoot(dir.path().string()));
  const std::string home = platform::HomeFolder();
  ASSERT_FALSE(home.empty());
  EXPECT_EQ(FolderShareRiskOf(home, home, platform::IsVolumeRoot(home)) == FolderShareRisk::None,
            false);
  // A link to the home folder resolves to it.
  fs::create_directory_symlink(home, dir.path() / "home-link");
  EXPECT_EQ(platform::RealFolderPath((dir.path() / "home-link").string()), home);
}

}  // namespace
}  // namespace qc
