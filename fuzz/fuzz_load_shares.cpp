// LoadShares over an arbitrary "shared.cfg".
#include <cstddef>
#include <cstdint>

#include "fuzz_files.h"
#include "shares/settings.h"
#include "shares/share_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::EnterScratchDirectory();
  qc::fuzz::WriteWholeFile(qc::kSharesFileName, data, size);
  qc::ShareRegistry registry;
  const int loaded = qc::LoadShares(registry, 0);
  if (loaded != 1) __builtin_trap();  // the file is there
  // Every record takes at least its 6-byte header: no share is made from nothing.
  if (registry.Count() * 6 > size) __builtin_trap();
  std::size_t bytes = 0;
  for (const qc::SharePtr& share : registry.Snapshot()) {
    bytes += 6 + share->virtualPath.size() + share->physicalPath.size();
  }
  if (bytes > size) __builtin_trap();
  return 0;
}
