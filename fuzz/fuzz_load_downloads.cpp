// The downloads file's parse over arbitrary "downloads.cfg" bytes, in memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shares/downloads_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<qc::DownloadRecord> records = qc::ParseDownloadRecords(bytes);
  // The records write back as exactly the bytes they were read from: a prefix of the input.
  const std::string encoded = qc::EncodeDownloadRecords(records);
  if (!records.empty() && bytes.substr(0, encoded.size()) != encoded) __builtin_trap();
  // And read again as the same records.
  const std::vector<qc::DownloadRecord> again = qc::ParseDownloadRecords(encoded);
  if (again.size() != records.size()) __builtin_trap();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (again[i].virtualPath != records[i].virtualPath ||
        again[i].physicalPath != records[i].physicalPath ||
        again[i].tally.completed != records[i].tally.completed ||
        again[i].limits.until != records[i].limits.until) {
      __builtin_trap();
    }
  }
  return 0;
}
