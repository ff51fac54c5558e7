#include "platform/hooks.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace qc::platform {

namespace {

// There is no system clipboard to speak of for a headless server: the text goes to
// standard output, where the user who started the share sees it.
const ClipboardOps kStdoutClipboard{
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

}  // namespace

const ClipboardOps& hooks::SystemClipboard() { return kStdoutClipboard; }

}  // namespace qc::platform
