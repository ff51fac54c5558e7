// What the tests of folder listings and archives share: a sink that keeps an archive's
// bytes, the paths of a listing, UTF-8 names as paths on both systems.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folder_listing.h"
#include "shares/zip_archive.h"

namespace qc::tests {

inline std::filesystem::path Utf8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::vector<std::string> ListedPaths(const platform::FolderListing& listing) {
  std::vector<std::string> paths;
  paths.reserve(listing.entries.size());
  for (const platform::FolderEntry& entry : listing.entries) paths.push_back(entry.path);
  return paths;
}

// Keeps everything; counts what came through the file path (zero-copy natively). With
// `failAfter`, a send that would pass that many bytes in all fails, as a client that went
// away; `onFileSend` runs before each file send.
class MemoryArchiveSink : public ArchiveSink {
 public:
  long long SendAll(const char* data, long long count) override {
    if (failAfter >= 0 && static_cast<long long>(bytes.size()) + count > failAfter) return -1;
    bytes.append(data, static_cast<std::size_t>(count));
    return count;
  }
  long long SendFileRange(platform::File& file, std::int64_t offset, std::int64_t count) override {
    if (onFileSend) onFileSend();
    ++fileSends;
    if (!file.Seek(offset)) return 0;
    std::string buffer(static_cast<std::size_t>(count), '\0');
    const long long got = file.Read(buffer.data(), buffer.size());
    if (got <= 0) return 0;
    fileBytes += got;
    return SendAll(buffer.data(), got) == -1 ? 0 : got;
  }

  std::string bytes;
  long long failAfter = -1;
  int fileSends = 0;
  std::int64_t fileBytes = 0;
  std::function<void()> onFileSend;
};

}  // namespace qc::tests
