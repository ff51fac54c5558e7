// The byte-level helpers the stored files share: little-endian 16-, 32- and 64-bit fields, reading
// a file whole, and replacing a file in one step.
#pragma once
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

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

inline void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
inline void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
inline std::uint64_t GetU64(const char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}
inline std::uint32_t GetU32(const char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}
// The sum that tells a whole record from a damaged one.
inline std::uint32_t Fnv1a(std::string_view bytes) {
  std::uint32_t sum = 2166136261u;
  for (char c : bytes) {
    sum ^= static_cast<unsigned char>(c);
    sum *= 16777619u;
  }
  return sum;
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
