// The clipboard as the URL copier uses it. On Windows the real clipboard (CF_TEXT in a
// GMEM_DDESHARE block that then belongs to the clipboard). The native build has none: a
// text put on it is written as one line to standard output.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace qc::platform {

struct ClipboardOps {
  std::function<bool()> open;   // OpenClipboard(no owner)
  std::function<void()> empty;  // EmptyClipboard
  // Allocates the block, copies `size` bytes and hands it over as CF_TEXT. False when the
  // block cannot be allocated.
  std::function<bool(const char* data, std::size_t size)> setText;
  std::function<void()> close;  // CloseClipboard
};

// The system's clipboard, made once by the entry and handed to whoever copies a link. The
// native server hands its own instead (its copied links join the request log), tests a
// recorder.
ClipboardOps SystemClipboard();

}  // namespace qc::platform
