// How the native command's files write to standard output and standard error; internal to
// the command (client_commands.cpp, native_server.cpp, native_command.cpp).
#pragma once
#include <cstdio>
#include <string>

namespace qc::cli {

// One write per text, so that a line never mixes with another thread's.
inline void Write(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

inline void Error(const std::string& text) { Write(stderr, "quillcast: " + text + "\n"); }

inline void Print(const std::string& text) { Write(stdout, text); }

}  // namespace qc::cli
