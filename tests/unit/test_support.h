// Helpers shared by the unit tests.
//
// A failing test must fail alone, fast and tidily: sinks keep a bounded prefix of what
// they are sent, temporary directories go away whatever happens to the test (and those
// of runs that died are swept at the next start), and helpers that own threads stop and
// join them in their destructors.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "http/request.h"
#include "http/response_writer.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/message.h"
#include "shares/settings_file.h"
#include "unit/printers.h"
#include "unit/wire_answers.h"

namespace qc::tests {

// The name every temporary directory of the unit tests starts with; the process id in it
// tells a leftover of a dead run from a directory of a run still going.
inline constexpr char kTestDirectoryPrefix[] = "qc-test-";

// Removes the temporary directories of test processes that are no longer running (a
// crash, a kill at a time limit). Directories of live processes, other engineers' runs
// included, are left alone. Returns how many were removed.
int RemoveLeftoverTestDirectories(const std::filesystem::path& base);

// "qc-test-<pid>-<counter>-<random>" -> pid; 0 for any other name.
unsigned long TestDirectoryOwner(std::string_view name);

// Makes a fresh empty directory the current one for the life of the object, then restores
// the previous current directory and deletes the temporary one with everything in it.
// Tests that touch "common.cfg" or "shared.cfg" run inside one. The first one a process
// makes sweeps the leftovers of dead runs first.
class ScopedTempDirectory {
 public:
  ScopedTempDirectory();
  ~ScopedTempDirectory();
  ScopedTempDirectory(const ScopedTempDirectory&) = delete;
  ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// The stored files of the current directory, where a ScopedTempDirectory puts the test: the
// value the server makes at start, made the same way.
inline StoredFiles StoredHere() { return StoredFiles::In(platform::CurrentDirectory()); }

inline std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// At most `limit` bytes of `bytes` for a failure message, escaped, with the count of what
// was left out, so that a wrong answer of megabytes prints as a few lines.
std::string Excerpt(std::string_view bytes, std::size_t limit = 256);

struct RecordedMessage {
  std::string text;
  std::string caption;
  platform::MessageIcon icon;
  bool operator==(const RecordedMessage&) const = default;
};

// How one of the program's messages looks once recorded.
inline RecordedMessage AsRecorded(const messages::Message& m) {
  return {std::string(m.text), std::string(m.caption), m.icon};
}

// Polls `condition` for up to `ms` milliseconds.
template <typename F>
bool WaitFor(F condition, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// The stored files' bytes, written out independently of the code that writes them:
// 16-bit numbers, low byte first.
inline std::string U16(std::uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

// One "shared.cfg" record.
inline std::string RecordBytes(const std::string& virtualPath, const std::string& physicalPath,
                               std::uint16_t flags) {
  return U16(static_cast<std::uint16_t>(virtualPath.size())) +
         U16(static_cast<std::uint16_t>(physicalPath.size())) + U16(flags) + virtualPath +
         physicalPath;
}

// "common.cfg" (magic "QC"; flags 2 is "copy the URL after a share").
inline std::string SettingsBytes(std::uint16_t port, std::uint16_t hostChoice, std::uint16_t flags,
                                 const std::string& domain = "", const std::string& folder = "") {
  return std::string("QC") + U16(port) + U16(hostChoice) + U16(flags) +
         U16(static_cast<std::uint16_t>(domain.size())) +
         U16(static_cast<std::uint16_t>(folder.size())) + domain + folder;
}

// A "common.cfg" in the current directory naming `port`, no texts (port 0 is refused at start).
inline void WriteSettingsWithPort(std::uint16_t port, std::uint16_t flags = kCopyUrlAfterShare) {
  WriteFileBytes(kSettingsFileName, SettingsBytes(port, 0, flags));
}

// Captures the user-facing messages handed to its sink (Sink, or the sink given to the
// constructor, which it fills) instead of showing them. Messages come from whichever
// thread shows them (the control loop's, the panel's), so the list is read as a copy
// taken under the lock. The sink shares the list, so it stays safe to call after the
// recorder is gone.
class MessageRecorder {
 public:
  MessageRecorder() = default;
  // Records what is shown through `into` (an application's services.messages, say).
  explicit MessageRecorder(platform::MessageSink& into) { into = Sink(); }
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  platform::MessageSink Sink() const {
    return platform::MessageSinkOf([state = state_](const std::string& text,
                                                    const std::string& caption,
                                                    platform::MessageIcon icon) {
      std::lock_guard<std::mutex> guard(state->mutex);
      state->messages.push_back({text, caption, icon});
    });
  }
  std::vector<RecordedMessage> Messages() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->messages;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->messages.clear();
  }
  bool WaitForCount(std::size_t n) {
    return WaitFor([&] { return Messages().size() >= n; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<RecordedMessage> messages;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A disk on which, after `writesLeft` more successful File::Write calls, every further
// write fails (the copies share one count); a failing write first writes half of its
// bytes, as a disk that fills up does.
inline platform::DiskFaults FailWritesAfter(int writesLeft) {
  auto left = std::make_shared<std::atomic<int>>(writesLeft);
  platform::DiskFaults faults;
  faults.writeAllowed = [left] {
    int now = left->load();
    while (now > 0) {
      if (left->compare_exchange_weak(now, now - 1)) return true;
    }
    return false;
  };
  return faults;
}

// The stored files of the current directory on a disk with `faults`.
inline StoredFiles StoredHereWith(platform::DiskFaults faults) {
  StoredFiles files = StoredFiles::In(platform::CurrentDirectory());
  files.faults = std::move(faults);
  return files;
}

// How much of an answer a capturing sink keeps. Every expected answer in the tests is far
// smaller; a wrong range that sends a whole file of gigabytes must fail with a message,
// not with the machine's memory. It grows with the piece size so that tests written in
// pieces keep fitting when the piece size is tuned.
inline constexpr std::int64_t kSinkKeepBytes =
    std::max<std::int64_t>(std::int64_t{1} << 20, std::int64_t{16} * kPieceSize);

// Records every SendAll call. Calls after the first `allowedCalls` fail (-1) and are not
// recorded, like a client that went away. An answer that runs past `keepBytes` is cut off
// the same way, and the test fails saying so: the writer stops at the failed send instead
// of reading the rest of the file into memory. The first send, which holds the head, is
// kept with its Date checked and marked (wire::MarkDate): a head without a date of now
// fails the test.
class CapturingSink : public ResponseSink {
 public:
  explicit CapturingSink(int allowedCalls = -1, std::int64_t keepBytes = kSinkKeepBytes)
      : allowedCalls_(allowedCalls), keepBytes_(keepBytes) {}

  long long SendAll(const char* data, long long count) override {
    ++calls;
    if (onSend) onSend(calls);
    if (allowedCalls_ >= 0 && calls > allowedCalls_) return -1;
    if (cutOff_) return -1;
    if (kept_ + count > keepBytes_) {
      cutOff_ = true;
      ADD_FAILURE() << "The answer ran past the " << keepBytes_
                    << " bytes this sink keeps: " << kept_ << " bytes in " << sends.size()
                    << " sends, then a send of " << count << "; cut off there. It began with "
                    << Excerpt(sends.empty()
                                   ? std::string_view(data, static_cast<std::size_t>(count))
                                   : std::string_view(sends.front()));
      return -1;
    }
    std::string sent(data, static_cast<std::size_t>(count));
    if (sends.empty()) sent = wire::Dated(std::move(sent));
    sends.push_back(std::move(sent));
    kept_ += count;
    return count;
  }

  // The one-shot rule asks before the last piece whether the client has everything sent
  // so far; `delivered` answers (by default it has).
  bool WaitUntilDelivered(DeliveryWait wait) override {
    ++deliveryWaits;
    lastDeliveryWait = wait;
    return delivered ? delivered(calls) : true;
  }

  // Everything sent, in order. Once cut off, only the beginning and a note, so that the
  // comparison that follows fails with a short message.
  std::string All() const {
    std::string all;
    for (const std::string& s : sends) {
      if (cutOff_ && all.size() >= 512) break;
      all += s;
    }
    if (cutOff_) {
      all.resize(std::min<std::size_t>(all.size(), 512));
      all += "...<cut off after " + std::to_string(kept_) + " bytes>";
    }
    return all;
  }
  bool CutOff() const { return cutOff_; }
  std::int64_t KeptBytes() const { return kept_; }

  std::vector<std::string> sends;
  int calls = 0;
  std::function<void(int)> onSend;
  // Given the sends made so far.
  std::function<bool(int)> delivered;
  int deliveryWaits = 0;
  DeliveryWait lastDeliveryWait = DeliveryWait::MoreFollows;

 private:
  int allowedCalls_;
  std::int64_t keepBytes_;
  std::int64_t kept_ = 0;
  bool cutOff_ = false;
};

// For answers too big to keep: the header block (the first send) whole, the body counted
// with only its first and last bytes kept, and the pieces' sizes tallied. With
// `allowedCalls`, every send after that many fails.
class CountingSink : public ResponseSink {
 public:
  static constexpr std::size_t kEdgeBytes = 16;

  explicit CountingSink(int allowedCalls = -1) : allowedCalls_(allowedCalls) {}

  long long SendAll(const char* data, long long count) override {
    ++calls;
    if (allowedCalls_ >= 0 && calls > allowedCalls_) return -1;
    if (calls == 1) {
      header = wire::Dated(std::string(data, static_cast<std::size_t>(count)));
      return count;
    }
    const auto n = static_cast<std::size_t>(count);
    if (bodyHead.size() < kEdgeBytes)
      bodyHead.append(data, std::min(n, kEdgeBytes - bodyHead.size()));
    const std::size_t tail = std::min(n, kEdgeBytes);
    bodyTail.append(data + n - tail, tail);
    if (bodyTail.size() > kEdgeBytes) bodyTail.erase(0, bodyTail.size() - kEdgeBytes);
    bodyBytes += count;
    if (count != kPieceSize) ++shortPieces;
    lastPiece = count;
    return count;
  }
  std::string header, bodyHead, bodyTail;
  std::int64_t bodyBytes = 0;
  long long lastPiece = 0;
  int calls = 0;
  int shortPieces = 0;

 private:
  int allowedCalls_;
};

}  // namespace qc::tests
