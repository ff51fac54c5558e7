// Several files shared at once (Send to with a selection): the client sends them as one
// batch, the server shares each in order and leaves all their URLs on the clipboard.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/control.h"
#include "platform/clipboard.h"
#include "platform/control_channel.h"
#include "platform/directory.h"
#include "net_support.h"
#include "test_support.h"

namespace qc {
namespace {

using platform::kPathSeparator;
using tests::ScopedTempDirectory;
using tests::WaitFor;

// Every text the server puts on the clipboard it is handed (`into`), in order; the loop's
// thread writes it.
class ClipboardLog {
 public:
  explicit ClipboardLog(platform::ClipboardOps& into) {
    ops_.open = [] { return true; };
    ops_.empty = [] {};
    ops_.setText = [this](const char* data, std::size_t size) {
      std::lock_guard<std::mutex> guard(mutex_);
      texts_.push_back(std::string(data, strnlen(data, size)));
      return true;
    };
    ops_.close = [] {};
    into = ops_;
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> guard(mutex_);
    return texts_;
  }

 private:
  platform::ClipboardOps ops_;
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

class LoopThread {
 public:
  explicit LoopThread(Application& app) : app_(app) {
    thread_ = std::thread([&app] { RunControlChannel(app); });
    EXPECT_TRUE(WaitFor([] { return platform::ControlServerReachable(); }));
  }
  ~LoopThread() {
    SendStopRequest(app_.services.messages);
    thread_.join();
  }

 private:
  Application& app_;
  std::thread thread_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

// Messages go to `messages`, never to a box: a box nobody answers would hold the whole
// binary until its time limit (under Wine a busy disk once made a share request wait past
// the client's 10 s, and the client's error box waited for five minutes).
Application& LocalhostApp(Application& app, tests::MessageRecorder& messages) {
  app.services.messages = messages.Sink();
  app.settings.flags = kCopyUrlAfterShare;
  app.settings.domain = "localhost";
  app.settings.port = 8080;
  return app;
}

TEST(ShareBatch, OneBatchLeavesEveryUrlOnTheClipboardInOrder) {
  ScopedTempDirectory dir;
  Application app;
  tests::MessageRecorder messages;
  LocalhostApp(app, messages);
  ClipboardLog clipboard(app.services.clipboard);
  const std::string sep(1, kPathSeparator);
  {
    LoopThread loop(app);
    ASSERT_EQ(SendShareRequests(app.services.messages,
                                {sep + "d" + sep + "report 2009.pdf", sep + "d" + sep + "a.txt",
                                 sep + "e" + sep + "100%.txt"}),
              1);
    ASSERT_TRUE(WaitFor([&] { return clipboard.Texts().size() == 3; }));
    // A later single share starts over with its own URL.
    ASSERT_EQ(SendShareRequests(app.services.messages, {sep + "d" + sep + "b.txt"}), 1);
    ASSERT_TRUE(WaitFor([&] { return clipboard.Texts().size() == 4; }));
  }
  const std::vector<std::string> texts = clipboard.Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "http://localhost:8080/report%202009.pdf");
  EXPECT_EQ(texts[1], "http://localhost:8080/report%202009.pdf\r\nhttp://localhost:8080/a.txt");
  EXPECT_EQ(texts[2],
            "http://localhost:8080/report%202009.pdf\r\nhttp://localhost:8080/a.txt\r\n"
            "http://localhost:8080/100%25.txt");
  EXPECT_EQ(texts[3], "http://localhost:8080/b.txt");
  ASSERT_EQ(app.shares.Count(), 4u);
  EXPECT_EQ(app.shares.ShareAt(0)->physicalPath, sep + "d" + sep + "report 2009.pdf");
  EXPECT_EQ(app.shares.ShareAt(2)->physicalPath, sep + "e" + sep + "100%.txt");
}

TEST(ShareBatch, ConcurrentBatchesNeverMixOnTheClipboard) {
  ScopedTempDirectory dir;
  Application app;
  tests::MessageRecorder messages;
  LocalhostApp(app, messages);
  ClipboardLog clipboard(app.services.clipboard);
  const std::string sep(1, kPathSeparator);
  constexpr int kClients = 4;
  constexpr int kFiles = 5;
  {
    LoopThread loop(app);
    std::vector<std::thread> clients;
    std::atomic<int> delivered{0};
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        std::vector<std::string> paths;
        for (int f = 0; f < kFiles; ++f) {
          paths.push_back(sep + "d" + sep + "c" + std::to_string(c) + "f" + std::to_string(f) +
                          ".txt");
        }
        delivered += SendShareRequests(app.services.messages, paths);
      });
    }
    for (std::thread& t : clients) t.join();
    ASSERT_EQ(delivered.load(), kClients);
    ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == kClients * kFiles; }));
  }
  // Each text is one client's files 0..k, in order: no other client's file in between.
  const std::vector<std::string> texts = clipboard.Texts();
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kClients * kFiles));
  int complete = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::vector<std::string> lines = Lines(text);
    ASSERT_FALSE(lines.empty());
    const std::string client = lines[0].substr(std::string("http://localhost:8080/").size(), 2);
    for (std::size_t f = 0; f < lines.size(); ++f) {
      EXPECT_EQ(lines[f], "http://localhost:8080/" + client + "f" + std::to_string(f) + ".txt");
    }
    if (lines.size() == kFiles) ++complete;
  }
  EXPECT_EQ(complete, kClients);
}

TEST(ShareBatch, HandlerStartsANewBatchUnlessTheRequestContinuesOne) {
  ScopedTempDirectory dir;
  Application app;
  tests::MessageRecorder messages;
  LocalhostApp(app, messages);
  app.settings.port = 80;
  ClipboardLog clipboard(app.services.clipboard);
  const std::string sep(1, kPathSeparator);
  ShareBatch batch;
  HandleShareRequest(app, sep + "d" + sep + "a.txt", false, batch);
  HandleShareRequest(app, sep + "d" + sep + "b c.txt", true, batch);
  // A path without a separator adds nothing and keeps the batch as it was.
  tests::MessageRecorder recorder(app.services.messages);
  HandleShareRequest(app, "bad", true, batch);
  HandleShareRequest(app, sep + "d" + sep + "e.txt", true, batch);
  HandleShareRequest(app, sep + "d" + sep + "f.txt", false, batch);
  const std::vector<std::string> expected = {
      "http://localhost/a.txt",
      "http://localhost/a.txt\r\nhttp://localhost/b%20c.txt",
      "http://localhost/a.txt\r\nhttp://localhost/b%20c.txt\r\nhttp://localhost/e.txt",
      "http://localhost/f.txt",
  };
  EXPECT_EQ(clipboard.Texts(), expected);
  EXPECT_EQ(recorder.Messages().size(), 2u);
  EXPECT_EQ(app.shares.Count(), 4u);
}

}  // namespace
}  // namespace qc
