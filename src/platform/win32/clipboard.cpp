#include "platform/hooks.h"

#include <cstring>

#include "platform/os_windows.h"

namespace qc::platform {

namespace {

bool SetClipboardText(const char* data, std::size_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_DDESHARE, size);
  if (block == nullptr) return false;
  void* target = GlobalLock(block);
  if (target == nullptr) {
    GlobalFree(block);
    return false;
  }
  std::memcpy(target, data, size);
  GlobalUnlock(block);
  // Once accepted the block belongs to the clipboard; only a refused one is still ours.
  if (SetClipboardData(CF_TEXT, block) == nullptr) {
    GlobalFree(block);
    return false;
  }
  return true;
}

const ClipboardOps kSystemClipboard{
    [] { return OpenClipboard(nullptr) != FALSE; },
    [] { EmptyClipboard(); },
    &SetClipboardText,
    [] { CloseClipboard(); },
};

}  // namespace

const ClipboardOps& hooks::SystemClipboard() { return kSystemClipboard; }

}  // namespace qc::platform
