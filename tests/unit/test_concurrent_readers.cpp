// Several readers of one shared file: ordinary shares are read by many clients at once,
// one-shot shares by one, and a file another program writes is never served.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/connection.h"
#include "platform/file.h"
#include "unit/file_holder.h"
#include "unit/live_server.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"
#include "unit/wire_answers.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::FileHolder;
using tests::WaitFor;
using tests::wire::Head200;
using tests::wire::kBusyPage;
using tests::wire::kNotFoundPage;

std::string Content(std::int64_t size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (std::int64_t i = 0; i < size; ++i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + i / 251) % 256);
  }
  return bytes;
}

class SharedOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (temp_.path() / "shared.bin").string();
    tests::WriteFileBytes(path_, Content(1000));
  }
  tests::ScopedTempDirectory temp_;
  std::string path_;
};

TEST_F(SharedOpenTest, ReadersShareAndExclusiveOpensStayAlone) {
  using platform::File;
  struct Case {
    const char* name;
    File (*first)(const std::string&);
    File (*second)(const std::string&);
    bool secondOpens;
  };
  const Case cases[] = {
      {"shared then shared", File::OpenSharedRead, File::OpenSharedRead, true},
      {"shared then exclusive", File::OpenSharedRead, File::OpenExclusiveRead, false},
      {"exclusive then shared", File::OpenExclusiveRead, File::OpenSharedRead, false},
      {"exclusive then exclusive", File::OpenExclusiveRead, File::OpenExclusiveRead, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    File first = c.first(path_);
    ASSERT_TRUE(first.IsOpen());
    File second = c.second(path_);
    EXPECT_EQ(second.IsOpen(), c.secondOpens);
    if (second.IsOpen()) {
      char byte = 0;
      EXPECT_EQ(second.Read(&byte, 1), 1);
      EXPECT_EQ(byte, Content(1)[0]);
    }
  }
  // Eight readers at once.
  std::vector<File> readers;
  for (int i = 0; i < 8; ++i) {
    readers.push_back(File::OpenSharedRead(path_));
    EXPECT_TRUE(readers.back().IsOpen()) << i;
  }
  EXPECT_FALSE(File::OpenSharedRead((temp_.path() / "missing").string()).IsOpen());
  EXPECT_FALSE(File::OpenSharedRead(temp_.path().string()).IsOpen());  // a directory
}

TEST_F(SharedOpenTest, AnotherProgramReadingDoesNotKeepReadersOut) {
  FileHolder viewer(path_, FileHolder::kRead);
  ASSERT_TRUE(viewer.holding());
  platform::File file = platform::File::OpenSharedRead(path_);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Size(), 1000);
}

TEST_F(SharedOpenTest, AnotherProgramWritingKeepsEveryReaderOut) {
  {
    FileHolder editor(path_, FileHolder::kWrite);
    ASSERT_TRUE(editor.holding());
    EXPECT_FALSE(platform::File::OpenSharedRead(path_).IsOpen());
    EXPECT_FALSE(platform::File::OpenExclusiveRead(path_).IsOpen());
  }
  // Once the editor has closed the file, it is read again.
  EXPECT_TRUE(platform::File::OpenSharedRead(path_).IsOpen());
  EXPECT_TRUE(platform::File::OpenExclusiveRead(path_).IsOpen());
}

// A download on a real connection, in two steps: Begin returns once the head has arrived
// (the server has the file open by then), Finish reads the rest and checks every byte.
class Download {
 public:
  Download(std::uint16_t port, const std::string& path, const std::string& range = "") {
    socket_ = tests::ConnectLoopback(port);
    std::string get = "GET " + path + " HTTP/1.1\r\n";
    if (!range.empty()) get += "Range: bytes=" + range + "\r\n";
    get += "\r\n";
    platform::Send(socket_, get.data(), get.size());
    char buffer[4096];
    while (head_.find("\r\n\r\n") == std::string::npos) {
      const long long n = platform::Receive(socket_, buffer, sizeof buffer);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      head_.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = head_.find("\r\n\r\n");
    if (end != std::string::npos) {
      body_ = head_.substr(end + 4);
      head_.resize(end + 4);
      head_ = tests::wire::Dated(head_);
    }
  }
  ~Download() { Close(); }
  // Reads until the server closes, or until `limit` body bytes have arrived.
  const std::string& Finish(std::size_t limit = std::string::npos) {
    char buffer[65536];
    while (!closed_ && body_.size() < limit) {
      const long long n = platform::Receive(socket_, buffer, sizeof buffer);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      body_.append(buffer, static_cast<std::size_t>(n));
    }
    return body_;
  }
  void Close() {
    if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
    socket_ = platform::kInvalidSocket;
  }
  const std::string& head() const { return head_; }
  std::string all() const { return head_ + body_; }

 private:
  platform::socket_t socket_ = platform::kInvalidSocket;
  std::string head_, body_;
  bool closed_ = false;
};

// Larger than loopback's socket buffers hold, so that a client that has only read the
// head keeps its answer in the middle of the file, with the file open.
constexpr std::int64_t kBigSize = 16 << 20;

class ConcurrentReaders : public tests::LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    content_ = Content(kBigSize);
    file_ = (temp_.path() / "big.bin").string();
    tests::WriteFileBytes(file_, content_);
    validators_ = tests::wire::ValidatorLines(file_);
  }

  std::string content_;
  std::string file_;
  std::string validators_;
};

TEST_F(ConcurrentReaders, OrdinaryShareIsDownloadedByManyAtOnce) {
  shares_.AppendShare(file_, "/big.bin", 0);
  for (int clients : {2, 8}) {
    SCOPED_TRACE(clients);
    // Every client has its head, so every answer has the file open, before any reads on.
    std::vector<std::unique_ptr<Download>> downloads;
    for (int i = 0; i < clients; ++i) {
      downloads.push_back(std::make_unique<Download>(port_, "/big.bin"));
      ASSERT_EQ(downloads.back()->head(), Head200(kBigSize, validators_)) << "client " << i;
    }
    for (auto& d : downloads) EXPECT_TRUE(d->Finish() == content_);
  }
}

TEST_F(ConcurrentReaders, RangesOfOneShareInParallelAssembleTheFile) {
  shares_.AppendShare(file_, "/big.bin", 0);
  constexpr int kParts = 8;
  const std::int64_t part = kBigSize / kParts;
  std::vector<std::unique_ptr<Download>> downloads;
  for (int i = 0; i < kParts; ++i) {
    const std::int64_t first = i * part;
    const std::int64_t last = i + 1 == kParts ? kBigSize - 1 : first + part - 1;
    downloads.push_back(std::make_unique<Download>(
        port_, "/big.bin", std::to_string(first) + "-" + std::to_string(last)));
    EXPECT_EQ(downloads.back()->head().rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u) << i;
  }
  std::string assembled;
  for (auto& d : downloads) assembled += d->Finish();
  EXPECT_TRUE(assembled == content_);
}

TEST_F(ConcurrentReaders, OneShotShareServesOneClientAndIsWithdrawnAfterIt) {
  const SharePtr share = shares_.AppendShare(file_, "/once.bin", kOneShot);
  Download first(port_, "/once.bin");
  ASSERT_EQ(first.head(), Head200(kBigSize, validators_));
  // While the first download runs, nobody else gets the file, and is told to come back.
  EXPECT_EQ(Download(port_, "/once.bin").all(), kBusyPage);
  EXPECT_FALSE(share->IsWithdrawn());
  EXPECT_TRUE(first.Finish() == content_);
  EXPECT_TRUE(share->IsWithdrawn());
  EXPECT_EQ(Download(port_, "/once.bin").all(), kNotFoundPage);
}

TEST_F(ConcurrentReaders, FileAnotherProgramReadsIsServed) {
  shares_.AppendShare(file_, "/big.bin", 0);
  FileHolder viewer(file_, FileHolder::kRead);
  ASSERT_TRUE(viewer.holding());
  Download d(port_, "/big.bin");
  EXPECT_EQ(d.head(), Head200(kBigSize, validators_));
  EXPECT_TRUE(d.Finish() == content_);
}

TEST_F(ConcurrentReaders, FileAnotherProgramWritesGetsThe404Page) {
  shares_.AppendShare(file_, "/big.bin", 0);
  shares_.AppendShare(file_, "/once.bin", kOneShot);
  {
    FileHolder editor(file_, FileHolder::kWrite);
    ASSERT_TRUE(editor.holding());
    EXPECT_EQ(Download(port_, "/big.bin").all(), kNotFoundPage);
    EXPECT_EQ(Download(port_, "/once.bin").all(), kNotFoundPage);
  }
  Download d(port_, "/big.bin");
  EXPECT_EQ(d.head(), Head200(kBigSize, validators_));
  EXPECT_TRUE(d.Finish() == content_);
}

// A one-shot download that the client breaks off: within the last 4096 bytes the last piece
// was already due, so the share is withdrawn; earlier it stays published, and a resumed
// download that reaches the end withdraws it.
TEST_F(ConcurrentReaders, OneShotDownloadBrokenOff) {
  struct Case {
    const char* name;
    std::size_t receivedBeforeClose;
    bool withdrawn;
  };
  const Case cases[] = {
      {"in the last 4096 bytes", static_cast<std::size_t>(kBigSize - 100), true},
      {"after the first MiB", static_cast<std::size_t>(1 << 20), false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string virtualPath = "/once" + std::to_string(n++) + ".bin";
    const SharePtr share = shares_.AppendShare(file_, virtualPath, kOneShot);
    std::size_t received = 0;
    {
      Download d(port_, virtualPath);
      ASSERT_EQ(d.head(), Head200(kBigSize, validators_));
      received = d.Finish(c.receivedBeforeClose).size();
      ASSERT_GE(received, c.receivedBeforeClose);
    }
    // The server notices the close on its next send, or has finished already.
    ASSERT_TRUE(WaitFor([&] { return connections_.Count() == 0; }, 20000));
    EXPECT_EQ(share->IsWithdrawn(), c.withdrawn);
    if (c.withdrawn) {
      EXPECT_EQ(Download(port_, virtualPath).all(), kNotFoundPage);
      continue;
    }
    Download resumed(port_, virtualPath, std::to_string(received) + "-");
    EXPECT_EQ(resumed.head().rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
    EXPECT_TRUE(resumed.Finish() == content_.substr(received));
    EXPECT_TRUE(share->IsWithdrawn());
  }
}

// Many idle clients beside served requests: each has a thread of its own, requests are still
// answered, and the stop wakes and awaits every one of them.
TEST_F(ConcurrentReaders, ManyIdleConnectionsThenStop) {
  shares_.AppendShare(file_, "/big.bin", 0);
  std::vector<platform::socket_t> idle;
  for (int i = 0; i < 300; ++i) {
    // From several addresses (127.0.0.2 and on), each under the cap one address may hold.
    idle.push_back(tests::ConnectLoopback(port_, 0x7F000002 + static_cast<std::uint32_t>(i / 50)));
    ASSERT_NE(idle.back(), platform::kInvalidSocket);
  }
  ASSERT_TRUE(WaitFor([&] { return connections_.Count() == idle.size(); }, 30000));
  for (int i = 0; i < 3; ++i) {
    Download d(port_, "/big.bin", "0-9");
    EXPECT_EQ(d.Finish(), content_.substr(0, 10));
  }
  connections_.StopAllConnections();
  EXPECT_EQ(connections_.Count(), 0u);
  for (platform::socket_t s : idle) {
    char byte;
    EXPECT_LE(platform::Receive(s, &byte, 1), 0);  // closed without an answer
    platform::CloseSocket(s);
  }
}

// Many clients at the same moment at each of many fresh one-shot shares: whatever the
// timing, the file goes out whole once, and the withdrawal is stored once. Every other
// client gets the 503 page while that download runs, the 404 page once it is over, or
// nothing should the server turn its connection away; never a second copy, nor a body cut
// short (that would mean a second answer had the file open).
struct OneShotRace {
  const char* name;
  std::int64_t size;
};

void PrintTo(const OneShotRace& race, std::ostream* os) { *os << race.name; }

class OneShotConcurrency : public tests::LiveServer,
                           public ::testing::WithParamInterface<OneShotRace> {};

TEST_P(OneShotConcurrency, ExactlyOneFullBodyPerShare) {
  constexpr int kShares = 25;
  constexpr int kClients = 24;
  const std::string content = Content(GetParam().size);
  std::atomic<int> stored{0};
  shares_.SetWithdrawalListener([&stored] { ++stored; });
  for (int n = 0; n < kShares; ++n) {
    const std::string name = "/once" + std::to_string(n) + ".bin";
    const std::string file = (temp_.path() / name.substr(1)).string();
    tests::WriteFileBytes(file, content);
    const std::string whole = Head200(GetParam().size, tests::wire::ValidatorLines(file)) + content;
    const SharePtr share = shares_.AppendShare(file, name, kOneShot);
    const std::string request = "GET " + name + " HTTP/1.1\r\n\r\n";

    // Every client connects first; the requests then go out together.
    std::vector<tests::Received> answers(kClients);
    std::atomic<int> connected{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        tests::LoopbackClient client(port_);
        ++connected;
        while (!go.load()) std::this_thread::yield();
        if (client.Send(request)) answers[c] = client.ReceiveUntilClosed();
      });
    }
    EXPECT_TRUE(WaitFor([&] { return connected.load() == kClients; }, 20000));
    go = true;
    for (std::thread& t : clients) t.join();

    int full = 0, notFound = 0, turnedAway = 0;
    std::string other;
    for (const tests::Received& a : answers) {
      const std::string answer = a.bytes.empty() ? a.bytes : tests::wire::Dated(a.bytes);
      if (answer == whole && a.Closed()) {
        ++full;
      } else if ((answer == kNotFoundPage || answer == kBusyPage) && a.Closed()) {
        ++notFound;
      } else if (a.count == 0 && a.end != tests::Received::End::TimeLimit) {
        ++turnedAway;
      } else if (other.empty()) {
        other = a.Describe();
      }
    }
    EXPECT_EQ(full, 1) << name << ": " << notFound << " 404 or 503 pages, " << turnedAway
                       << " turned away";
    EXPECT_EQ(full + notFound + turnedAway, kClients) << name << ": " << other;
    EXPECT_TRUE(share->IsWithdrawn()) << name;
    if (full != 1 || !other.empty()) break;  // one share's report is enough
  }
  EXPECT_TRUE(WaitFor([&] { return connections_.Count() == 0; }, 20000));
  EXPECT_EQ(stored.load(), kShares);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, OneShotConcurrency,
    ::testing::Values(OneShotRace{"BodyIsTheLastPiece", 3000},  // claimed before anything is sent
                      OneShotRace{"WholeBlocksThenTheLastPiece", 3 * 4096 + 5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qc
