// Shared by the loader fuzzers: one private working directory for the whole run, so the
// ".cfg" files they write never land in the repository or the caller's directory.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "shares/settings_file.h"
#include "shares/share_file.h"

namespace qc::fuzz {

inline void EnterScratchDirectory() {
  static const bool entered = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qc-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
      perror("qc fuzz: scratch directory");
      abort();
    }
    static std::string scratch = pattern;
    atexit([] {
      if (chdir("/") == 0) {
        unlink((scratch + "/" + kSettingsFileName).c_str());
        unlink((scratch + "/" + kSharesFileName).c_str());
        rmdir(scratch.c_str());
      }
    });
    return true;
  }();
  (void)entered;
}

inline void WriteWholeFile(const char* name, const std::uint8_t* data, std::size_t size) {
  FILE* file = std::fopen(name, "wb");
  if (file == nullptr) abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) abort();
  std::fclose(file);
}

}  // namespace qc::fuzz
