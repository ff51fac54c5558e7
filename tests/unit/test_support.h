// Helpers shared by the unit tests.
#pragma once
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/message.h"

namespace qc::testing {

// Makes a fresh empty directory the current one for the life of the object, then restores
// the previous current directory and deletes the temporary one with everything in it.
// Tests that touch "common.cfg" or "shared.cfg" run inside one.
class ScopedTempDirectory {
 public:
  ScopedTempDirectory() : previous_(std::filesystem::current_path()) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("qc-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
      std::error_code error;
      if (std::filesystem::create_directory(path_, error)) break;
    }
    std::filesystem::current_path(path_);
  }
  ~ScopedTempDirectory() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
    std::filesystem::remove_all(path_, error);
  }
  ScopedTempDirectory(const ScopedTempDirectory&) = delete;
  ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct RecordedMessage {
  std::string text;
  std::string caption;
  platform::MessageIcon icon;
  bool operator==(const RecordedMessage&) const = default;
};

// Captures every user-facing message for the life of the object instead of showing it.
class MessageRecorder {
 public:
  MessageRecorder() {
    platform::SetMessageSinkForTesting(
        [this](const std::string& text, const std::string& caption, platform::MessageIcon icon) {
          messages.push_back({text, caption, icon});
        });
  }
  ~MessageRecorder() { platform::SetMessageSinkForTesting({}); }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  std::vector<RecordedMessage> messages;
};

}  // namespace qc::testing
