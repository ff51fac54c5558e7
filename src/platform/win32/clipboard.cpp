#include "platform/clipboard.h"

#include <cstring>

#include "platform/os_windows.h"
#include "platform/windows_handles.h"

namespace qc::platform {

namespace {

bool SetClipboardText(const char* data, std::size_t size) {
  UniqueGlobal block(GlobalAlloc(GMEM_DDESHARE, size));
  if (!block) return false;
  void* target = GlobalLock(block.get());
  if (target == nullptr) return false;
  std::memcpy(target, data, size);
  GlobalUnlock(block.get());
  // Once accepted the block belongs to the clipboard; only a refused one is still ours.
  if (SetClipboardData(CF_TEXT, block.get()) == nullptr) return false;
  static_cast<void>(block.release());
  return true;
}

}  // namespace

ClipboardOps SystemClipboard() {
  return {
      [] { return OpenClipboard(nullptr) != FALSE; },
      [] { EmptyClipboard(); },
      &SetClipboardText,
      [] { CloseClipboard(); },
  };
}

}  // namespace qc::platform
