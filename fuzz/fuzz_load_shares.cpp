// The share list parse over arbitrary "shared.cfg" bytes, in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "shares/share_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const qc::ParsedShares parsed = qc::ParseShareRecords(bytes);
  if (parsed.wholeRecordsEnd > size) __builtin_trap();
  // Left over: a record cut short (less than a header, or a header whose texts run past
  // the end), or a whole record with a NUL byte in a path. The bytes count as damaged
  // exactly when a NUL byte follows the first header left over.
  const std::size_t rest = size - parsed.wholeRecordsEnd;
  const std::uint8_t* h = data + parsed.wholeRecordsEnd;
  const bool nulAfterHeader = rest > 6 && std::memchr(h + 6, 0, rest - 6) != nullptr;
  if (parsed.damaged != nulAfterHeader) __builtin_trap();
  if (rest >= 6) {
    const std::size_t texts = (h[0] | (h[1] << 8)) + (h[2] | (h[3] << 8));
    if (rest - 6 >= texts && std::memchr(h + 6, 0, texts) == nullptr) __builtin_trap();
  }
  // The records write back as exactly the bytes they were read from, in order.
  std::string encoded;
  for (const qc::ShareRecord& record : parsed.records) {
    if (!qc::EncodeShareRecord(encoded, record.virtualPath, record.physicalPath, record.flags)) {
      __builtin_trap();
    }
  }
  if (encoded != bytes.substr(0, parsed.wholeRecordsEnd)) __builtin_trap();
  // Parsing is the same from the cut: the whole records again, and nothing after them.
  const qc::ParsedShares again = qc::ParseShareRecords(encoded);
  if (again.records.size() != parsed.records.size() || again.wholeRecordsEnd != encoded.size()) {
    __builtin_trap();
  }
  return 0;
}
