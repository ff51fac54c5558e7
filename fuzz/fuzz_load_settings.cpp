// LoadSettings over an arbitrary "common.cfg".
#include <cstddef>
#include <cstdint>

#include "fuzz_files.h"
#include "shares/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::EnterScratchDirectory();
  qc::fuzz::WriteWholeFile(qc::kSettingsFileName, data, size);
  qc::ServerSettings settings;
  const int loaded = qc::LoadSettings(settings);
  if (loaded != 0 && loaded != 1) __builtin_trap();
  // The texts are present exactly when their lengths say so, and of those lengths.
  if (settings.domain.size() != settings.domainLength) __builtin_trap();
  if (settings.defaultFolder.size() != settings.folderLength) __builtin_trap();
  if (loaded == 1 && settings.magic != qc::kSettingsMagic) __builtin_trap();
  return 0;
}
