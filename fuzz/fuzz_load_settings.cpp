// The settings parse over arbitrary "common.cfg" bytes, in memory.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shares/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<qc::ServerSettings> parsed = qc::ParseSettings(bytes);
  // Anything shorter than a header, or under a foreign magic, is refused.
  const bool header = size >= 12 && data[0] == 'Q' && data[1] == 'C';
  if (parsed && !header) __builtin_trap();
  if (!parsed) return 0;
  if (parsed->magic != qc::kSettingsMagic) __builtin_trap();
  // What was taken writes back as the same bytes, up to where the texts end: no text is
  // shifted, cut or made up.
  const std::optional<std::string> encoded = qc::EncodeSettings(*parsed);
  if (!encoded || encoded->size() > size) __builtin_trap();
  if (bytes.substr(0, encoded->size()) != *encoded) __builtin_trap();
  if (qc::ParseSettings(*encoded)->domain != parsed->domain) __builtin_trap();
  return 0;
}
