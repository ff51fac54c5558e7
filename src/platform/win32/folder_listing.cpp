#include "platform/folder_listing.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/os_windows.h"
#include "platform/win32/file_time.h"
#include "platform/win32/wide_text.h"
#include "platform/windows_handles.h"

namespace qc::platform {

namespace {

// One directory read returns as many entries as fit; 64 KiB holds several hundred.
constexpr DWORD kDirectoryReadBytes = 64 * 1024;

struct Child {
  std::string name;  // UTF-8
  std::wstring wideName;
  bool isFolder = false;
  FileVersion version;
};

// Opens a folder for reading its entries. FILE_FLAG_OPEN_REPARSE_POINT for the folders
// inside: a junction put in a listed folder's place is opened as itself, and its identity
// then differs from the listing's.
UniqueHandle OpenFolder(const std::wstring& path, bool followLink) {
  return UniqueHandle(CreateFileW(
      path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
}

// Symbolic links, junctions and mount points name another place; other reparse points
// (cloud placeholders, deduplicated files) are the file itself.
bool IsLink(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

class Walk {
 public:
  Walk(FolderListing& listing, std::uint64_t volume) : listing_(listing), volume_(volume) {}

  void List(HANDLE folder, const std::wstring& path, const std::string& prefix, int depth) {
    for (Child& child : ReadChildren(folder, prefix)) {
      std::string entryPath = prefix.empty() ? child.name : prefix + "/" + child.name;
      if (!child.isFolder) {
        listing_.entries.push_back({std::move(entryPath), false, false, child.version});
        continue;
      }
      if (depth + 1 > kMaxFolderDepth) {
        listing_.leftOut.push_back(std::move(entryPath));
        continue;
      }
      const std::wstring childPath = path + L"\\" + child.wideName;
      UniqueHandle sub = OpenFolder(childPath, false);
      BY_HANDLE_FILE_INFORMATION info;
      if (!sub || !GetFileInformationByHandle(sub.get(), &info) ||
          ((static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow) !=
              child.version.fileIndex) {
        listing_.leftOut.push_back(std::move(entryPath));
        continue;
      }
      listing_.entries.push_back({entryPath, true, false, child.version});
      List(sub.get(), childPath, entryPath, depth + 1);
    }
  }

 private:
  // The folder's files and folders, sorted by the bytes of their UTF-8 names.
  std::vector<Child> ReadChildren(HANDLE folder, const std::string& prefix) {
    std::vector<Child> children;
    auto buffer = std::make_unique<std::uint64_t[]>(kDirectoryReadBytes / sizeof(std::uint64_t));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer.get(), kDirectoryReadBytes)) {
      kind = FileIdBothDirectoryInfo;
      const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.get());
      for (;;) {
        const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
        AddChild(*info, prefix, children);
        if (info->NextEntryOffset == 0) break;
        bytes += info->NextEntryOffset;
      }
    }
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    return children;
  }

  void AddChild(const FILE_ID_BOTH_DIR_INFO& info, const std::string& prefix,
                std::vector<Child>& children) {
    const std::wstring_view name(info.FileName, info.FileNameLength / sizeof(wchar_t));
    if (name == L"." || name == L"..") return;
    // For a reparse point the extended-attribute size holds its tag.
    if (IsLink(info.FileAttributes, info.EaSize) ||
        (info.FileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      return;
    }
    std::optional<std::string> utf8 = Utf8From(name);
    if (!utf8) {
      const std::string shown = *Utf8From(name, false);
      listing_.leftOut.push_back(prefix.empty() ? shown : prefix + "/" + shown);
      return;
    }
    Child child;
    child.name = std::move(*utf8);
    child.wideName.assign(name);
    child.isFolder = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    child.version.size = child.isFolder ? 0 : info.EndOfFile.QuadPart;
    UnixTimeOfTicks(info.LastWriteTime.QuadPart, child.version.modifiedSeconds,
                    child.version.modifiedNanoseconds);
    child.version.volume = volume_;
    child.version.fileIndex = static_cast<std::uint64_t>(info.FileId.QuadPart);
    children.push_back(std::move(child));
  }

  FolderListing& listing_;
  std::uint64_t volume_;
};

// The full path in the long form, which lifts the MAX_PATH limit: "\\?\C:\...", or
// "\\?\UNC\server\share\..." for a network path.
std::optional<std::wstring> LongFormFullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
  // Without a trailing separator, so that entries are joined on with one; a drive's root
  // ("C:") gets its separator back where the folder itself is opened.
  while (!full.empty() && full.back() == L'\\') full.pop_back();
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The folder's own name as the user sees it: the name its parent lists it under (a share
// made through a short 8.3 name still gets its real name), the drive letter for a drive's
// root, the share's name for a network share's root.
std::string FolderNameOf(const std::wstring& longForm) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(longForm.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    const std::wstring_view name(found.cFileName);
    if (!name.empty() && name != L"." && name != L"..") return *Utf8From(name, false);
  }
  std::wstring last = longForm.substr(longForm.rfind(L'\\') + 1);
  if (last.size() == 2 && last[1] == L':') last.resize(1);  // "C:" of "\\?\C:"
  return last.empty() ? "root" : *Utf8From(last, false);
}

}  // namespace

std::optional<FolderListing> ListFolder(const std::string& folder) {
  const std::optional<std::wstring> wide = WideFrom(folder, CP_ACP);
  if (!wide || wide->empty()) return std::nullopt;
  const std::optional<std::wstring> longForm = LongFormFullPath(*wide);
  if (!longForm) return std::nullopt;
  std::wstring rootPath = *longForm;
  // "\\?\C:" names the volume, not its root folder.
  if (rootPath.size() == 6 && rootPath[5] == L':') rootPath.push_back(L'\\');
  UniqueHandle root = OpenFolder(rootPath, true);
  BY_HANDLE_FILE_INFORMATION info;
  if (!root || !GetFileInformationByHandle(root.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::nullopt;
  }
  const std::optional<std::string> rootUtf8 = Utf8From(*longForm);
  if (!rootUtf8) return std::nullopt;
  FolderListing listing;
  listing.root = *rootUtf8;
  listing.name = FolderNameOf(*longForm);
  UnixTimeOfTicks(TicksOf(info.ftLastWriteTime), listing.rootVersion.modifiedSeconds,
                  listing.rootVersion.modifiedNanoseconds);
  // The volume as File::Version gives it: 0, since asking for it costs Wine a trip to its
  // mount manager for every open file (win32/file.cpp). Entries are compared with the
  // files opened later, so both must leave it out alike.
  constexpr std::uint64_t kVolume = 0;
  listing.rootVersion.volume = kVolume;
  listing.rootVersion.fileIndex =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  Walk(listing, kVolume).List(root.get(), *longForm, std::string(), 0);
  return listing;
}

}  // namespace qc::platform
