// How gtest prints the outcomes tests compare: by name, so that a failing case reads
// "BindFailed" where gtest alone prints the enum's bytes.
#pragma once
#include <ostream>

#include "app/command_line.h"
#include "app/server.h"
#include "http/stream.h"
#include "platform/control_channel.h"
#include "platform/socket.h"
#include "shares/folder_rules.h"
#include "shares/share_adding.h"
#include "shares/share_file.h"
#include "shares/share_registry.h"
#include "shares/share_url.h"
#include "shares/zip_archive.h"

namespace qc {

namespace printers {
template <typename Enum, std::size_t N>
void PrintName(Enum value, const char* const (&names)[N], std::ostream* out) {
  const auto index = static_cast<std::size_t>(value);
  if (index < N) {
    *out << names[index];
  } else {
    *out << "(out of range: " << index << ")";
  }
}
}  // namespace printers

inline void PrintTo(StartResult value, std::ostream* out) {
  static const char* const kNames[] = {"Running",    "Refused",      "LockFailed",
                                       "BindFailed", "ListenFailed", "PortInvalid"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(Role value, std::ostream* out) {
  static const char* const kNames[] = {"Server", "Panel", "Stop", "Share"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(ShareFileWrite value, std::ostream* out) {
  static const char* const kNames[] = {"Written", "Failed"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(UrlCopy value, std::ostream* out) {
  static const char* const kNames[] = {"Copied", "ClipboardUnavailable", "NothingSelected",
                                       "Desync", "NotSet"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(ShareAddition value, std::ostream* out) {
  static const char* const kNames[] = {"Added", "Renamed", "AlreadyShared", "PathTaken"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(ArchiveSendOutcome value, std::ostream* out) {
  static const char* const kNames[] = {"Sent", "SinkFailed", "EntryChanged", "BadRange"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(LastPieceClaim value, std::ostream* out) {
  static const char* const kNames[] = {"NotClaimed", "Counted", "Won", "Lost"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(DeliveryWait value, std::ostream* out) {
  static const char* const kNames[] = {"MoreFollows", "Last", "WholeInOneSend"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(FolderShareRisk value, std::ostream* out) {
  static const char* const kNames[] = {"None", "DriveRoot", "WholeProfile"};
  printers::PrintName(value, kNames, out);
}

namespace platform {
inline void PrintTo(ControlSetup value, std::ostream* out) {
  static const char* const kNames[] = {"Ok", "ChannelFailed", "BlockFailed", "BlockUnusable"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(DrainEnd value, std::ostream* out) {
  static const char* const kNames[] = {"Closed", "Reset", "StillOpen"};
  printers::PrintName(value, kNames, out);
}
inline void PrintTo(const SocketError& error, std::ostream* out) {
  *out << (error.code == 0 ? std::string("no error") : Describe(error));
}
}  // namespace platform

inline void PrintTo(const StartOutcome& outcome, std::ostream* out) {
  PrintTo(outcome.result, out);
  *out << " (";
  platform::PrintTo(outcome.error, out);
  *out << ")";
}

}  // namespace qc
