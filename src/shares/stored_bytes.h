// The byte-level helpers both state files share: little-endian 16-bit fields, reading a
// file whole, and replacing a file in one step.
#pragma once
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "platform/file.h"

namespace qc {

// Texts are stored behind 16-bit lengths; a longer one would make its header disagree with
// the bytes that follow (and, in the share file, corrupt every record after it).
inline constexpr std::size_t kMaxStoredText = std::numeric_limits<std::uint16_t>::max();

inline void PutU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

inline std::uint16_t GetU16(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

// The whole content of `fileName`, opened exclusively. Empty optional when it cannot be
// opened; `readFailed` is set when it was opened but a read failed before its end (the
// bytes read until then are returned).
std::optional<std::string> ReadWholeFile(const char* fileName, bool& readFailed);

// Writes `bytes` as the whole new content of `fileName`, durably: through an exclusive
// temporary file, synced, that then replaces it. `error`, when given, receives the
// system's word on the call that failed.
bool ReplaceWith(const char* fileName, const std::string& bytes, const platform::DiskFaults& faults,
                 platform::FileError* error = nullptr);

}  // namespace qc
