#include "shares/stored_bytes.h"

#include <random>

#include "platform/file.h"

namespace qc {

namespace {

// A name taken by something else (a leftover of a save cut short, a folder, a link planted
// there) is passed over for a new one; this many collisions in a row mean the folder is
// not usable at all.
constexpr int kTemporaryNameAttempts = 16;

// The file `fileName` is rewritten through: a new file beside it whose name no one can
// know in advance, created exclusively. Empty `name` and a closed file (whose Error says
// why) when none could be made.
platform::File CreateTemporaryBeside(const char* fileName, std::string& name,
                                     const platform::DiskFaults& faults) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  platform::File file;
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    name = std::string(fileName) + ".";
    for (int word = 0; word < 2; ++word) {
      std::uint32_t bits = random();
      for (int digit = 0; digit < 8; ++digit, bits >>= 4) name.push_back(kHex[bits & 0x0F]);
    }
    name += ".tmp";
    file = platform::File::CreateNew(name, faults);
    if (file.IsOpen()) return file;
    if (!platform::FileExists(name)) break;  // not a collision: the folder refuses new files
  }
  name.clear();
  return file;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const char* fileName, bool& readFailed) {
  readFailed = false;
  platform::File file = platform::File::OpenExclusiveRead(fileName);
  if (!file.IsOpen()) return std::nullopt;
  std::string bytes;
  char chunk[16384];
  for (;;) {
    const long long got = file.Read(chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      readFailed = true;
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

bool ReplaceWith(const char* fileName, const std::string& bytes, const platform::DiskFaults& faults,
                 platform::FileError* error) {
  const auto failed = [error](platform::FileError why) {
    if (error != nullptr) *error = why;
    return false;
  };
  // The file stays shared with nobody: while another opener holds it, the save fails as
  // a direct write to it would, instead of replacing it under that opener's feet. The
  // probe is closed again at once: its own lock would refuse the replace.
  {
    const platform::File probe = platform::File::OpenExclusiveWrite(fileName);
    if (!probe.IsOpen()) return failed(probe.Error());
  }
  // Rewritten through a sibling temporary file that then replaces it in one step, so a
  // failed write never costs the previous file. The new bytes are on the disk before the
  // rename, and the rename is before it returns: after a power cut the file is the old one
  // or the new one, whole.
  std::string temp;
  platform::File file = CreateTemporaryBeside(fileName, temp, faults);
  if (!file.IsOpen()) return failed(file.Error());
  const bool written = file.Write(bytes.data(), bytes.size()) && file.Sync();
  const platform::FileError writeError = file.Error();
  file.Close();
  if (!written) {
    platform::RemoveFile(temp);
    return failed(writeError);
  }
  platform::FileError renameError;
  if (!platform::ReplaceFileAtomically(temp, fileName, faults, &renameError)) {
    platform::RemoveFile(temp);
    return failed(renameError);
  }
  return true;
}

}  // namespace qc
