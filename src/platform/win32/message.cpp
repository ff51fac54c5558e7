#include "platform/message.h"

#include <string>

#include "platform/os_windows.h"

namespace qc::platform {

bool DeliverToTestSink(std::string_view text, std::string_view caption, MessageIcon icon);
bool HoldMessage(std::string_view text, std::string_view caption, MessageIcon icon);

void ShowMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  if (HoldMessage(text, caption, icon)) return;
  if (DeliverToTestSink(text, caption, icon)) return;
  UINT style = MB_OK;
  if (icon == MessageIcon::Error) style |= MB_ICONERROR;
  if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
  MessageBoxA(nullptr, std::string(text).c_str(), std::string(caption).c_str(), style);
}

}  // namespace qc::platform
