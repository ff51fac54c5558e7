#include "platform/clipboard.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace qc::platform {

// There is no system clipboard to speak of for a headless server: the text goes to
// standard output, where the user who started the share sees it.
ClipboardOps SystemClipboard() {
  return {
      [] { return true; },
      [] {},
      [](const char* data, std::size_t size) {
        // One write for the whole line, so that it never mixes with a request log line.
        std::string line(data, strnlen(data, size));
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return true;
      },
      [] {},
  };
}

}  // namespace qc::platform
