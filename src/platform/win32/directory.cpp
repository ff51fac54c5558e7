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
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0
             ? PathKind::Other
             : PathKind::RegularFile;
}

}  // namespace qc::platform
