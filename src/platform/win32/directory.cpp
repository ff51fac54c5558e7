#include "platform/directory.h"

#include <vector>

#include "platform/codepage.h"
#include "platform/os_windows.h"

namespace qc::platform {

std::string CurrentDirectory() {
  DWORD size = GetCurrentDirectoryA(0, nullptr);  // includes the terminator
  std::vector<char> buffer(size + 1, '\0');
  GetCurrentDirectoryA(size, buffer.data());
  return std::string(buffer.data());
}

std::string AbsolutePath(const std::string& path) { return path; }

bool SamePath(const std::string& a, const std::string& b) {
  if (a == b) return true;
  // The ordinal comparison without case is the one NTFS makes (its upcase table), unlike
  // the locale's, which would also take "ss" for "\xDF" or ignore marks.
  const std::wstring wideA = AnsiToWide(a);
  const std::wstring wideB = AnsiToWide(b);
  return CompareStringOrdinal(wideA.data(), static_cast<int>(wideA.size()), wideB.data(),
                              static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

bool IsExistingFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

PathKind KindOfPath(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::RegularFile;
}

namespace {
// A call that fills an ANSI buffer and returns the length it needs when it is too small.
template <typename Call>
std::string GrowingBuffer(Call call) {
  std::vector<char> buffer(MAX_PATH + 1, '\0');
  for (int tries = 0; tries < 3; ++tries) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.assign(length + 1, '\0');
  }
  return std::string();
}
}  // namespace

std::string RealFolderPath(const std::string& path) {
  const std::string full = GrowingBuffer([&](char* buffer, DWORD size) {
    return GetFullPathNameA(path.c_str(), size, buffer, nullptr);
  });
  if (full.empty()) return path;
  const std::string longName = GrowingBuffer(
      [&](char* buffer, DWORD size) { return GetLongPathNameA(full.c_str(), buffer, size); });
  return longName.empty() ? full : longName;
}

std::string HomeFolder() {
  const std::string profile = GrowingBuffer([](char* buffer, DWORD size) {
    return GetEnvironmentVariableA("USERPROFILE", buffer, size);
  });
  return profile.empty() ? profile : RealFolderPath(profile);
}

// The root of the volume that holds `path` is `path` itself: a drive's root, or a folder a
// volume is mounted on.
bool IsVolumeRoot(const std::string& path) {
  const std::string full = RealFolderPath(path);
  std::vector<char> volume(full.size() + 2, '\0');
  if (!GetVolumePathNameA(full.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
    return false;
  }
  std::string root(volume.data());
  std::string self = full;
  while (!root.empty() && root.back() == '\\') root.pop_back();
  while (!self.empty() && self.back() == '\\') self.pop_back();
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, root.c_str(), -1, self.c_str(), -1) ==
         CSTR_EQUAL;
}

}  // namespace qc::platform
