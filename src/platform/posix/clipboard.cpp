#include "platform/clipboard.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace qc::platform {

namespace {

// There is no system clipboard to speak of for a headless server: the text goes to
// standard output, where the user who started the share sees it.
const ClipboardOps kStdoutClipboard{
    [] { return true; },
    [] {},
    [](const char* data, std::size_t size) {
      const std::size_t length = strnlen(data, size);
      std::fwrite(data, 1, length, stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
      return true;
    },
    [] {},
};

std::atomic<const ClipboardOps*> gTestClipboard{nullptr};

}  // namespace

const ClipboardOps& Clipboard() {
  const ClipboardOps* ops = gTestClipboard.load();
  return ops != nullptr ? *ops : kStdoutClipboard;
}

void SetClipboardForTesting(const ClipboardOps* ops) { gTestClipboard.store(ops); }

}  // namespace qc::platform
