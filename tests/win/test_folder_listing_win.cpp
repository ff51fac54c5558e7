// A folder share on Windows: a folder whose name no ANSI code page holds is reached
// through its short name and still goes into the archive under its own name, in UTF-8,
// with the names inside it; links and junctions inside are left out. Run under any code
// page, and again under 1251 (scripts/test.sh), where a Cyrillic name also passes as ANSI.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/folder_listing.h"
#include "platform/os_windows.h"
#include "shares/zip_archive.h"
#include "unit/archive_support.h"
#include "unit/test_support.h"

namespace qc {
namespace {

std::string Ansi(const std::wstring& wide) {
  const int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out.data(), length, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length - 1));
  return out;
}

bool WriteWide(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size();
  CloseHandle(file);
  return ok;
}

using tests::ListedPaths;

TEST(FolderListingCyrillic, FolderNoCodePageHoldsListsUnderItsOwnName) {
  tests::ScopedTempDirectory dir;
  const std::wstring base = dir.path().wstring();
  const std::wstring top = base + L"\\Папка 日本語";
  ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((top + L"\\Вложенная").c_str(), nullptr));
  ASSERT_TRUE(WriteWide(top + L"\\Вложенная\\файл.txt", "привет"));
  ASSERT_TRUE(WriteWide(top + L"\\ファイル.txt", "konnichiwa"));

  // The ANSI path that reaches it whatever the code page: its short name.
  wchar_t shortPath[MAX_PATH];
  const DWORD length = GetShortPathNameW(top.c_str(), shortPath, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  const std::string ansi = Ansi(shortPath);
  ASSERT_NE(ansi.find('~'), std::string::npos) << ansi;

  const std::optional<platform::FolderListing> listing = platform::ListFolder(ansi);
  ASSERT_TRUE(listing.has_value()) << ansi;
  EXPECT_EQ(listing->name, "Папка 日本語");
  EXPECT_EQ(ListedPaths(*listing),
            (std::vector<std::string>{"Вложенная", "Вложенная/файл.txt", "ファイル.txt"}));
  EXPECT_TRUE(listing->leftOut.empty());

  const ZipArchive archive(*listing);
  CrcCache crcs;
  tests::MemoryArchiveSink sink;
  const ArchiveSendResult result = archive.Send(sink, 0, archive.Size(), crcs);
  ASSERT_EQ(result.outcome, ArchiveSendOutcome::Sent) << result.changedEntry;
  for (const char* name : {"Папка 日本語/", "Папка 日本語/Вложенная/файл.txt"}) {
    EXPECT_NE(sink.bytes.find(name), std::string::npos) << name;
  }
  EXPECT_NE(sink.bytes.find("привет"), std::string::npos);

  // Under code page 1251 a Cyrillic name is an ANSI path of its own.
  if (GetACP() == 1251) {
    const std::wstring cyrillic = base + L"\\Кириллица";
    ASSERT_TRUE(CreateDirectoryW(cyrillic.c_str(), nullptr));
    ASSERT_TRUE(WriteWide(cyrillic + L"\\документ.txt", "x"));
    const std::optional<platform::FolderListing> plain = platform::ListFolder(Ansi(cyrillic));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->name, "Кириллица");
    EXPECT_EQ(ListedPaths(*plain), (std::vector<std::string>{"документ.txt"}));
  }
}

TEST(FolderListingWin, LinksInsideAreLeftOut) {
  tests::ScopedTempDirectory dir;
  const std::wstring top = dir.path().wstring() + L"\\top";
  ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((top + L"\\real").c_str(), nullptr));
  ASSERT_TRUE(WriteWide(top + L"\\real\\f.txt", "f"));
  ASSERT_TRUE(WriteWide(dir.path().wstring() + L"\\outside.txt", "outside"));
  const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  const bool fileLink =
      CreateSymbolicLinkW((top + L"\\to-outside.txt").c_str(),
                          (dir.path().wstring() + L"\\outside.txt").c_str(), unprivileged) != 0;
  const bool folderLink =
      CreateSymbolicLinkW((top + L"\\to-parent").c_str(), dir.path().wstring().c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged) != 0;
  if (!fileLink && !folderLink) GTEST_SKIP() << "no symbolic links here: " << GetLastError();
  const std::optional<platform::FolderListing> listing = platform::ListFolder(Ansi(top));
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(ListedPaths(*listing), (std::vector<std::string>{"real", "real/f.txt"}));
}

}  // namespace
}  // namespace qc
