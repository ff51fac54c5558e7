// What only POSIX files can show: opens that meet a FIFO or a device, the modes new files
// get, and the folder's sync after a rename.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "platform/file.h"
#include "shares/settings_file.h"
#include "shares/share_file.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::ReadFileBytes;
using tests::ScopedTempDirectory;
using tests::WriteFileBytes;

// A FIFO's reader, if an open waited for one, is released by opening the other end; a
// waiting open then ends instead of holding the test binary.
void ReleaseWaitingOpen(const std::string& fifo) {
  const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  if (fd >= 0) ::close(fd);
}

TEST(FilesNative, OpensRefuseAnythingButARegularFileAtOnce) {
  ScopedTempDirectory dir;
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  ASSERT_EQ(::mkdir("folder", 0700), 0);
  WriteFileBytes("file", "bytes");
  using Open = std::function<platform::File(const std::string&)>;
  const std::pair<const char*, Open> opens[] = {
      {"shared read", platform::File::OpenSharedRead},
      {"exclusive read", platform::File::OpenExclusiveRead},
      {"exclusive write",
       [](const std::string& path) { return platform::File::OpenExclusiveWrite(path); }},
  };
  const std::pair<const char*, bool> paths[] = {
      {"fifo", false}, {"folder", false}, {"/dev/null", false}, {"file", true}};
  for (const auto& [how, open] : opens) {
    for (const auto& [path, regular] : paths) {
      SCOPED_TRACE(std::string(how) + " of " + path);
      std::future<bool> opened = std::async(
          std::launch::async, [&open, path = std::string(path)] { return open(path).IsOpen(); });
      if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ReleaseWaitingOpen("fifo");
        ADD_FAILURE() << "the open waited";
      }
      EXPECT_EQ(opened.get(), regular);
    }
  }
  // Reads from a file opened this way wait as reads of a file always did.
  platform::File file = platform::File::OpenSharedRead("file");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(::fcntl(static_cast<int>(file.NativeHandle()), F_GETFL) & O_NONBLOCK, 0);
  // Nor does a FIFO where the share list should be hold a load.
  ::unlink("file");
  ASSERT_EQ(::mkfifo(kSharesFileName, 0600), 0);
  std::future<int> loaded = std::async(std::launch::async, [] {
    ShareRegistry registry;
    return LoadShares(tests::StoredHere(), registry);
  });
  if (loaded.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ReleaseWaitingOpen(kSharesFileName);
    ADD_FAILURE() << "the load waited";
  }
  EXPECT_EQ(loaded.get(), 0);
}

TEST(FilesNative, FilesAreMadeForTheUserAloneWhateverTheUmask) {
  ScopedTempDirectory dir;
  const mode_t previous = ::umask(0);
  ServerSettings settings;
  settings.port = 81;
  const bool saved = SaveSettings(tests::StoredHere(), settings) == 1;
  ShareRegistry registry;
  SharePtr share = registry.AppendShare("/x/a", "/a", 0);
  const bool appended =
      AppendShareRecord(tests::StoredHere(), *share) == ShareFileWrite::Written;  // makes the file
  ::umask(previous);
  ASSERT_TRUE(saved);
  ASSERT_TRUE(appended);
  // A damaged list's copy holds the same paths.
  WriteFileBytes(kSharesFileName, tests::RecordBytes("/a", "/x/a", 0) +
                                      tests::RecordBytes("/b", std::string("/\0", 2), 0));
  ::chmod(kSharesFileName, 0644);
  ShareFileDamage damage;
  ASSERT_EQ(LoadShares(tests::StoredHere(), registry, &damage), 1);
  ASSERT_EQ(damage.keptAs, "shared.cfg.damaged");
  for (const char* name : {kSettingsFileName, "shared.cfg.damaged"}) {
    struct stat st;
    ASSERT_EQ(::stat(name, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  // A rewrite replaces a file that others could read by one they cannot.
  ASSERT_EQ(RewriteShareFile(tests::StoredHere(), registry), ShareFileWrite::Written);
  struct stat st;
  ASSERT_EQ(::stat(kSharesFileName, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ::unlink(kSharesFileName);
  ::umask(0);
  const bool created = AppendShareRecord(tests::StoredHere(), *share) == ShareFileWrite::Written;
  ::umask(previous);
  ASSERT_TRUE(created);
  ASSERT_EQ(::stat(kSharesFileName, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(FilesNative, TheFolderIsSyncedOnceTheNewFileIsInPlace) {
  ScopedTempDirectory dir;
  WriteFileBytes(kSettingsFileName, "old");
  std::vector<std::pair<platform::SyncKind, std::string>> syncs;
  platform::DiskFaults watched;
  watched.syncAllowed = [&](platform::SyncKind kind) {
    syncs.push_back({kind, ReadFileBytes(kSettingsFileName)});
    return true;
  };
  ServerSettings settings;
  settings.port = 81;
  const int saved = SaveSettings(tests::StoredHereWith(std::move(watched)), settings);
  ASSERT_EQ(saved, 1);
  const std::string written = ReadFileBytes(kSettingsFileName);
  EXPECT_EQ(syncs, (std::vector<std::pair<platform::SyncKind, std::string>>{
                       {platform::SyncKind::File, "old"}, {platform::SyncKind::Folder, written}}));
}

}  // namespace
}  // namespace qc
