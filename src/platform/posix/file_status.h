// A FileVersion out of a stat result, the same for an open file and a listed one.
// Backend-internal.
#pragma once
#include <sys/stat.h>

#include <cstdint>

#include "platform/file.h"

namespace qc::platform {

inline FileVersion VersionOfStatus(const struct stat& st) {
  FileVersion version;
  version.size = st.st_size;
  version.modifiedSeconds = st.st_mtim.tv_sec;
  version.modifiedNanoseconds = static_cast<std::int32_t>(st.st_mtim.tv_nsec);
  version.volume = static_cast<std::uint64_t>(st.st_dev);
  version.fileIndex = static_cast<std::uint64_t>(st.st_ino);
  version.changedSeconds = st.st_ctim.tv_sec;
  version.changedNanoseconds = static_cast<std::int32_t>(st.st_ctim.tv_nsec);
  return version;
}

}  // namespace qc::platform
