#include "platform/hooks.h"

#include <string>

#include "platform/os_windows.h"

namespace qc::platform {

void hooks::ShowSystemMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  UINT style = MB_OK;
  if (icon == MessageIcon::Error) style |= MB_ICONERROR;
  if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
  MessageBoxA(nullptr, std::string(text).c_str(), std::string(caption).c_str(), style);
}

}  // namespace qc::platform
