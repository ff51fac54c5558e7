// FILETIME (100 ns ticks since 1601-01-01 UTC) to and from the Unix seconds and
// nanoseconds FileVersion keeps. Backend-internal.
#pragma once
#include <cstdint>
#include <optional>

#include "platform/os_windows.h"

namespace qc::platform {

// FILETIME counts 100 ns from 1601-01-01 UTC; this many of them lie before 1970.
inline constexpr std::int64_t kTicksTo1970 = 116444736000000000;
inline constexpr std::int64_t kTicksPerSecond = 10000000;

// Seconds since 1970 rounded down (also before 1970, so the rest is never negative) and
// the rest in nanoseconds.
inline void UnixTimeOfTicks(std::int64_t ticksSince1601, std::int64_t& seconds,
                            std::int32_t& nanoseconds) {
  const std::int64_t ticks = ticksSince1601 - kTicksTo1970;
  seconds = ticks / kTicksPerSecond;
  std::int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    seconds -= 1;
    rest += kTicksPerSecond;
  }
  nanoseconds = static_cast<std::int32_t>(rest * 100);
}

inline std::int64_t TicksOf(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

// None before 1601 or past what 64 bits of ticks hold.
inline std::optional<FILETIME> FileTimeOfUnixSeconds(std::int64_t unixSeconds) {
  constexpr std::int64_t kFirst = -kTicksTo1970 / kTicksPerSecond;
  constexpr std::int64_t kLast = (INT64_MAX - kTicksTo1970) / kTicksPerSecond;
  if (unixSeconds < kFirst || unixSeconds > kLast) return std::nullopt;
  const auto ticks = static_cast<std::uint64_t>(unixSeconds * kTicksPerSecond + kTicksTo1970);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

}  // namespace qc::platform
