#include "shares/stored_bytes.h"

#include "platform/file.h"

namespace qc {

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

bool ReplaceWith(const char* fileName, const std::string& bytes) {
  // The file stays shared with nobody: while another opener holds it, the save fails as
  // a direct write to it would, instead of replacing it under that opener's feet.
  if (!platform::File::OpenExclusiveWrite(fileName).IsOpen()) return false;
  // Rewritten through a sibling temporary file that then replaces it in one step, so a
  // failed write never costs the previous file.
  const std::string temp = std::string(fileName) + ".tmp";
  // A leftover from an interrupted save would otherwise keep its tail (no truncation).
  platform::RemoveFile(temp);
  platform::File file = platform::File::OpenExclusiveWrite(temp);
  if (!file.IsOpen()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  file.Close();
  if (!written || !platform::ReplaceFileAtomically(temp, fileName)) {
    platform::RemoveFile(temp);
    return false;
  }
  return true;
}

}  // namespace qc
