// The server's life in-process: start in order, serve, stop; the control channel between
// a client and the wait loop; the single-instance refusal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/control.h"
#include "app/messages.h"
#include "app/server.h"
#include "platform/clipboard.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "shares/share_file.h"
#include "unit/clipboard_fakes.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"
#include "unit/test_support.h"
#include "unit/wire_answers.h"

namespace qc {
namespace {

using platform::kPathSeparator;
using tests::AsRecorded;
using tests::MessageRecorder;
using tests::RecordedMessage;
using tests::ScopedTempDirectory;
using tests::WaitFor;
using tests::WriteSettingsWithPort;

TEST(ControlChannel, ClientsWithoutAServerSayItIsNotRunning) {
  MessageRecorder recorder;
  EXPECT_EQ(SendStopRequest(recorder.Sink()), 0);
  EXPECT_EQ(SendPanelRequest(recorder.Sink()), 0);
  EXPECT_EQ(SendShareRequests(recorder.Sink(), {std::string(1, kPathSeparator) + "a.txt"}), 0);
  const std::vector<RecordedMessage> expected = {AsRecorded(messages::kNotRunning),
                                                 AsRecorded(messages::kNotRunning),
                                                 AsRecorded(messages::kShareNotRunning)};
  EXPECT_EQ(recorder.Messages(), expected);
}

// The wait loop on its own thread, as the server's main thread runs it. Whatever way the
// test leaves (a failed ASSERT_ included), the destructor stops the loop and joins its
// thread, so a failure ends this test alone instead of the whole binary.
class ChannelLoop {
 public:
  // How long a stopped loop may take to end before the binary gives up on it.
  static constexpr std::chrono::seconds kStopLimit{10};

  explicit ChannelLoop(Application& app) : app_(app) {
    thread_ = std::thread([this] {
      result_ = RunControlChannel(app_);
      ended_ = true;
    });
    // Requests sent before the set-up has finished would find no server.
    EXPECT_TRUE(WaitFor([this] { return ended_.load() || platform::ControlServerReachable(); }))
        << "the control channel never became reachable";
  }
  ~ChannelLoop() {
    if (!thread_.joinable()) return;
    // A loop left running by a failed assertion: its stop request may show a message of
    // its own when the loop has already ended, which no test expects to see.
    if (!ended_.load()) SendStopRequest(app_.services.messages);
    JoinWithinLimit();
  }
  ChannelLoop(const ChannelLoop&) = delete;
  ChannelLoop& operator=(const ChannelLoop&) = delete;

  int Stop() {
    EXPECT_EQ(SendStopRequest(app_.services.messages), 1);
    JoinWithinLimit();
    return result_;
  }

 private:
  void JoinWithinLimit() {
    if (!WaitFor([this] { return ended_.load(); },
                 static_cast<int>(std::chrono::milliseconds(kStopLimit).count()))) {
      // The loop holds references into the test's objects: neither detaching nor going on
      // is safe. End the binary with a message naming the test.
      std::fprintf(stderr, "%s: the control-channel loop did not stop within %lld s\n",
                   ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                   static_cast<long long>(kStopLimit.count()));
      std::fflush(stderr);
      std::abort();
    }
    thread_.join();
  }

  Application& app_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
  int result_ = -1;
};

// A server started by StartServer is stopped at the end of the scope, also when an
// assertion left the test early: the application's accept thread must never be destroyed
// running.
class StopAtScopeEnd {
 public:
  explicit StopAtScopeEnd(Application& app) : app_(app) {}
  ~StopAtScopeEnd() {
    if (app_.acceptThread.joinable() || app_.listenSocket != platform::kInvalidSocket)
      StopServer(app_);
  }
  StopAtScopeEnd(const StopAtScopeEnd&) = delete;
  StopAtScopeEnd& operator=(const StopAtScopeEnd&) = delete;

 private:
  Application& app_;
};

TEST(ControlChannel, ShareRequestsAddSharesAndRecordsInOrder) {
  ScopedTempDirectory dir;
  Application app;
  app.settings.flags = kNewSharesOneShot;  // one-shot, no clipboard
  app.settings.defaultFolder = "/temp";
  std::vector<RecordedMessage> seen;
  {
    MessageRecorder recorder(app.services.messages);
    ChannelLoop loop(app);
    const std::string sep(1, kPathSeparator);
    const std::string first = sep + "data" + sep + "a.txt";
    const std::string second = sep + "data" + sep + "report 2009.pdf";
    const std::string third = sep + "other" + sep + "a.txt";
    ASSERT_EQ(SendShareRequests(app.services.messages, {first}), 1);
    ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == 1; }));
    ASSERT_EQ(SendShareRequests(app.services.messages, {second}), 1);
    // The same file again keeps its one share; another file of its name gets a path of
    // its own.
    ASSERT_EQ(SendShareRequests(app.services.messages, {first}), 1);
    ASSERT_EQ(SendShareRequests(app.services.messages, {third}), 1);
    ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == 3; }));
    EXPECT_EQ(loop.Stop(), 1);
    seen = recorder.Messages();

    auto shares = app.shares.Snapshot();
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_EQ(shares[0]->virtualPath, "/temp/a.txt");
    EXPECT_EQ(shares[0]->physicalPath, first);
    EXPECT_EQ(shares[0]->flags.load(), kOneShot);
    EXPECT_EQ(shares[1]->virtualPath, "/temp/report 2009.pdf");
    EXPECT_EQ(shares[2]->virtualPath, "/temp/a (2).txt");
    EXPECT_EQ(shares[2]->physicalPath, third);
    // The records reach "shared.cfg" in the same order and load back.
    ShareRegistry reloaded;
    ASSERT_EQ(LoadShares(tests::StoredHere(), reloaded), 1);
    auto loaded = reloaded.Snapshot();
    ASSERT_EQ(loaded.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(loaded[i]->virtualPath, shares[i]->virtualPath);
      EXPECT_EQ(loaded[i]->physicalPath, shares[i]->physicalPath);
      EXPECT_EQ(loaded[i]->flags.load(), shares[i]->flags.load());
    }
  }
  EXPECT_TRUE(seen.empty());
}

TEST(ControlChannel, ShareHandlerReportsEachFailureAndKeepsWhatItCan) {
  const std::string sep(1, kPathSeparator);
  const RecordedMessage incorrect{"Incorrect physical path to file", "Error",
                                  platform::MessageIcon::Error};
  const RecordedMessage cannotWrite{"Can't write to file shared.cfg, something wrong", "ERROR",
                                    platform::MessageIcon::Error};
  platform::ClipboardOps failingClipboard{[] { return false; }, [] {},
                                          [](const char*, std::size_t) { return true; }, [] {}};
  struct Case {
    const char* name;
    std::string path;
    bool sharesFileIsADirectory;
    bool clipboardFails;
    std::size_t sharesAdded;
    std::vector<RecordedMessage> messages;
  };
  const std::vector<Case> cases = {
      {"no separator after the first byte",
       "a.txt",
       false,
       false,
       0,
       {incorrect, AsRecorded(messages::kNoVirtualPath)}},
      {"separator only at the start",
       sep + "a.txt",
       false,
       false,
       0,
       {incorrect, AsRecorded(messages::kNoVirtualPath)}},
      {"shared.cfg cannot be written",
       sep + "d" + sep + "a.txt",
       true,
       false,
       1,
       {cannotWrite, AsRecorded(messages::kAppendFailed)}},
      // Read before the file is looked at: the system would stop at the NUL.
      {"a NUL in the path",
       sep + "d" + sep + std::string("a\0b.txt", 7),
       false,
       false,
       0,
       {{"Can't share this path: it holds a control character\n\n" + sep + "d" + sep + "a?b.txt",
         "Error", platform::MessageIcon::Error}}},
      {"a line feed in the path",
       sep + "d" + sep + "a\nb.txt",
       false,
       false,
       0,
       {{"Can't share this path: it holds a control character\n\n" + sep + "d" + sep + "a?b.txt",
         "Error", platform::MessageIcon::Error}}},
      {"clipboard cannot be opened",
       sep + "d" + sep + "a.txt",
       false,
       true,
       1,
       {AsRecorded(messages::kCopyFailed)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    if (c.sharesFileIsADirectory) std::filesystem::create_directory(kSharesFileName);
    Application app;
    if (c.clipboardFails) app.services.clipboard = failingClipboard;
    app.settings.flags = c.clipboardFails ? kCopyUrlAfterShare : 0;
    app.settings.domain = "localhost";
    MessageRecorder recorder(app.services.messages);
    ShareBatch batch;
    HandleShareRequest(app, c.path, false, batch);
    EXPECT_EQ(app.shares.Count(), c.sharesAdded);
    EXPECT_EQ(recorder.Messages(), c.messages);
    if (c.sharesAdded == 0) {
      EXPECT_FALSE(platform::FileExists(kSharesFileName));
    }
  }
}

// A folder is shared as one archive named after it, in the batch like a file; a drive's
// root or the folder that holds the user's profile is refused by name, since nobody can be
// asked here whether all of it is meant.
TEST(ControlChannel, AFolderIsSharedAsOneArchiveUnlessItHoldsADriveOrTheProfile) {
  ScopedTempDirectory dir;
  const std::string sep(1, kPathSeparator);
  const std::string folder = (dir.path() / "photos").string();
  std::filesystem::create_directory(folder);
  const std::string root = dir.path().root_path().string();
  const std::string home = platform::HomeFolder();
  tests::FakeClipboard clipboard;
  Application app;
  app.services.clipboard = clipboard.Ops();
  app.settings.flags = kCopyUrlAfterShare;
  app.settings.domain = "localhost";
  app.settings.port = kDefaultPort;
  MessageRecorder recorder(app.services.messages);
  // In a Send to of several: the files around it keep their batch.
  ShareBatch batch;
  HandleShareRequest(app, sep + "d" + sep + "a.txt", false, batch);
  HandleShareRequest(app, folder + sep, true, batch);
  EXPECT_EQ(clipboard.Text(), "http://localhost/a.txt\r\nhttp://localhost/photos.zip");
  HandleShareRequest(app, root, true, batch);
  if (!home.empty()) HandleShareRequest(app, home, true, batch);
  HandleShareRequest(app, folder + sep + "not yet there.txt", true, batch);
  std::vector<RecordedMessage> refused{
      {std::string(messages::kFolderIsDriveRoot.text) + "\n\n" + root, "Error",
       platform::MessageIcon::Error}};
  if (!home.empty()) {
    refused.push_back({std::string(messages::kFolderHoldsProfile.text) + "\n\n" + home, "Error",
                       platform::MessageIcon::Error});
  }
  EXPECT_EQ(recorder.Messages(), refused);
  // A missing file is taken as before: it may be about to be made.
  EXPECT_EQ(clipboard.Text(),
            "http://localhost/a.txt\r\nhttp://localhost/photos.zip\r\n"
            "http://localhost/not%20yet%20there.txt");
  std::vector<std::string> physical;
  for (const SharePtr& share : app.shares.Snapshot()) physical.push_back(share->physicalPath);
  EXPECT_EQ(physical, (std::vector<std::string>{sep + "d" + sep + "a.txt", folder,
                                                folder + sep + "not yet there.txt"}));
  EXPECT_TRUE(app.shares.ShareAt(1)->IsFolder());
  EXPECT_EQ(tests::ReadFileBytes(kSharesFileName),
            tests::RecordBytes("/a.txt", sep + "d" + sep + "a.txt", 0) +
                tests::RecordBytes("/photos.zip", folder, 0) +
                tests::RecordBytes("/not yet there.txt", folder + sep + "not yet there.txt", 0));
}

TEST(ControlChannel, ShareWhileThePanelRunsIsRefusedAndDropped) {
  ScopedTempDirectory dir;
  Application app;
  app.ui.active = true;
  MessageRecorder recorder(app.services.messages);
  ChannelLoop loop(app);
  const std::string sep(1, kPathSeparator);
  ASSERT_EQ(SendShareRequests(app.services.messages, {sep + "d" + sep + "a.txt"}), 1);
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(loop.Stop(), 1);
  EXPECT_EQ(app.shares.Count(), 0u);
  ASSERT_FALSE(recorder.Messages().empty());
  EXPECT_EQ(recorder.Messages()[0], AsRecorded(messages::kPanelRunning));
  EXPECT_FALSE(platform::FileExists(kSharesFileName));
}

TEST(ControlChannel, APathWithAControlCharacterIsRefusedByTheClientAlone) {
  ScopedTempDirectory dir;
  Application app;
  app.settings.flags = 0;
  MessageRecorder recorder(app.services.messages);
  ChannelLoop loop(app);
  const std::string sep(1, kPathSeparator);
  const std::string good = sep + "d" + sep + "good.txt";
  // The bad one is told by the client and never sent; the good one of the batch goes.
  EXPECT_EQ(SendShareRequests(app.services.messages, {sep + "d" + sep + "a\x01" + "b.txt", good}),
            1);
  ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == 1; }));
  EXPECT_EQ(SendShareRequests(app.services.messages, {sep + "d" + sep + "tab\t.txt"}), 0);
  EXPECT_EQ(loop.Stop(), 1);
  EXPECT_EQ(app.shares.Count(), 1u);
  EXPECT_EQ(app.shares.ShareAt(0)->physicalPath, good);
  const std::string text = "Can't share this path: it holds a control character\n\n";
  EXPECT_EQ(recorder.Messages(),
            (std::vector<RecordedMessage>{
                {text + sep + "d" + sep + "a?b.txt", "Error", platform::MessageIcon::Error},
                {text + sep + "d" + sep + "tab?.txt", "Error", platform::MessageIcon::Error}}));
}

TEST(ControlChannel, OverLongPathIsRefusedByTheClientAlone) {
  ScopedTempDirectory dir;
  Application app;
  app.settings.flags = 0;
  MessageRecorder recorder(app.services.messages);
  ChannelLoop loop(app);
  const std::string sep(1, kPathSeparator);
  std::string fits = sep + "d" + sep + std::string(platform::kMaxControlPath - 3, 'f');
  std::string tooLong = fits + "g";
  ASSERT_EQ(fits.size(), platform::kMaxControlPath);
  EXPECT_EQ(SendShareRequests(app.services.messages, {tooLong}), 0);
  ASSERT_EQ(SendShareRequests(app.services.messages, {fits}), 1);
  ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == 1; }));
  EXPECT_EQ(loop.Stop(), 1);
  EXPECT_EQ(app.shares.ShareAt(0)->physicalPath, fits);
  EXPECT_EQ(recorder.Messages().front(), AsRecorded(messages::kPathTooLong));
}

TEST(ControlChannel, ConcurrentShareClientsAllArriveIntact) {
  ScopedTempDirectory dir;
  Application app;
  app.settings.flags = 0;
  MessageRecorder recorder(app.services.messages);
  ChannelLoop loop(app);
  const std::string sep(1, kPathSeparator);
  constexpr int kClients = 8;
  std::vector<std::thread> clients;
  std::atomic<int> delivered{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      // Paths of very different lengths, so a torn block would show.
      std::string path = sep + "dir" + std::to_string(i) + sep + std::string(50 + i * 300, 'a' + i);
      delivered += SendShareRequests(app.services.messages, {path});
    });
  }
  for (auto& t : clients) t.join();
  ASSERT_EQ(delivered.load(), kClients);
  ASSERT_TRUE(WaitFor([&] { return app.shares.Count() == kClients; }));
  EXPECT_EQ(loop.Stop(), 1);
  std::set<std::string> seen;
  for (const SharePtr& share : app.shares.Snapshot()) seen.insert(share->physicalPath);
  for (int i = 0; i < kClients; ++i) {
    std::string path = sep + "dir" + std::to_string(i) + sep + std::string(50 + i * 300, 'a' + i);
    EXPECT_EQ(seen.count(path), 1u) << i;
  }
}

TEST(ServerLifecycle, StartsOnTheConfiguredPortServesAndStopsInOrder) {
  ScopedTempDirectory dir;
  const std::uint16_t configured = tests::FreePort();
  ASSERT_NE(configured, 0);
  WriteSettingsWithPort(configured);
  Application app;
  StopAtScopeEnd stopper(app);
  ASSERT_EQ(StartServer(app).result, StartResult::Running);
  EXPECT_EQ(app.storedFiles.directory, platform::CurrentDirectory());
  std::uint16_t port = tests::LocalPort(app.listenSocket);
  ASSERT_EQ(port, configured);
  std::string answer = tests::Exchange(port, {"GET /x HTTP/1.1\r\n\r\n"});
  EXPECT_EQ(answer.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);

  // A second server in the same session is refused while the first runs.
  {
    Application second;
    MessageRecorder recorder(second.services.messages);
    EXPECT_EQ(StartServer(second).result, StartResult::Refused);
    EXPECT_EQ(recorder.Messages(),
              std::vector<RecordedMessage>{AsRecorded(messages::kAlreadyRunning)});
  }
  tests::LoopbackClient idle(port);
  ASSERT_TRUE(idle.Connected());
  ASSERT_TRUE(WaitFor([&] { return app.connections.Count() == 1; }));
  StopServer(app);
  const tests::Received afterStop = idle.ReceiveUntilClosed();
  // Closed without an answer (Windows resets it rather than closing it in order).
  EXPECT_EQ(afterStop.count, 0) << afterStop.Describe();
  EXPECT_NE(afterStop.end, tests::Received::End::TimeLimit) << afterStop.Describe();
  EXPECT_EQ(app.connections.Count(), 0u);
  // Once stopped, the next server may start.
  Application third;
  StopAtScopeEnd thirdStopper(third);
  ASSERT_EQ(StartServer(third).result, StartResult::Running);
  StopServer(third);
}

TEST(ServerLifecycle, MissingSettingsMeanPort80AndDefaults) {
  ScopedTempDirectory dir;
  Application app;
  MessageRecorder recorder(app.services.messages);
  StartResult result = StartServer(app).result;
  // Port 80 may be free or not here; either way the settings are the defaults.
  EXPECT_EQ(app.settings.port, 80);
  EXPECT_EQ(app.settings.flags, kCopyUrlAfterShare);
  if (result == StartResult::Running) StopServer(app);
}

// Port 0 would have the system listen on a random port while every link names port 0.
TEST(ServerLifecycle, StoredPort0IsRefusedBeforeAnythingListens) {
  ScopedTempDirectory dir;
  WriteSettingsWithPort(0);
  Application app;
  MessageRecorder recorder(app.services.messages);
  StopAtScopeEnd stopper(app);
  ASSERT_EQ(StartServer(app).result, StartResult::PortInvalid);
  EXPECT_EQ(app.listenSocket, platform::kInvalidSocket);
  EXPECT_TRUE(recorder.Messages().empty());  // the caller tells the user
  app.instance.Release();
  // The start after it, on a port it can serve, runs.
  WriteSettingsWithPort(tests::FreePort());
  Application next;
  StopAtScopeEnd nextStopper(next);
  ASSERT_EQ(StartServer(next).result, StartResult::Running);
  StopServer(next);
}

// A domain or a folder that another tool wrote into common.cfg, and that would break every
// link, is left out of this run (the defaults instead) and told once, with the channel
// up; the file stays as it was.
TEST(ServerLifecycle, SettingsThatBreakLinksAreLeftOutOfTheRunAndToldOnce) {
  const std::string headline(messages::kSettingsIgnored.text);
  const std::string domainLine =
      "\n\ndomain \"ex ample.org\": links take an address of this machine";
  const std::string folderLine = "\n\ndefault virtual folder \"abc\": new shares go under \"/\"";
  struct Case {
    const char* name;
    std::string domain, folder;
    std::string runDomain, runFolder;
    std::string told;  // empty: nothing
  };
  const Case cases[] = {
      {"both fine", "files.example:8080", "/temp", "files.example:8080", "/temp", ""},
      {"a blank in the domain", "ex ample.org", "/temp", "", "/temp", headline + domainLine},
      {"a folder without its slash", "localhost", "abc", "localhost", "", headline + folderLine},
      {"both", "ex ample.org", "abc", "", "", headline + domainLine + folderLine},
      {"an IPv6 domain", "[::1]", "", "", "",
       headline + "\n\ndomain \"[::1]\": links take an address of this machine"},
      {"a control byte in the folder", "", "/a\tb", "", "",
       headline + "\n\ndefault virtual folder \"/a?b\": new shares go under \"/\""},
  };
  const std::string sep(1, kPathSeparator);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    const std::string stored = tests::SettingsBytes(tests::FreePort(), 0, 0, c.domain, c.folder);
    tests::WriteFileBytes(kSettingsFileName, stored);
    Application app;
    MessageRecorder recorder(app.services.messages);
    StopAtScopeEnd stopper(app);
    ASSERT_EQ(StartServer(app).result, StartResult::Running);
    EXPECT_EQ(app.settings.domain, c.runDomain);
    EXPECT_EQ(app.settings.defaultFolder, c.runFolder);
    EXPECT_TRUE(recorder.Messages().empty());  // not before the channel is up
    {
      ChannelLoop loop(app);
      if (!c.told.empty()) {
        ASSERT_TRUE(recorder.WaitForCount(1));
      }
      EXPECT_EQ(loop.Stop(), 1);
    }
    const std::vector<RecordedMessage> told =
        c.told.empty()
            ? std::vector<RecordedMessage>{}
            : std::vector<RecordedMessage>{{c.told, "Attention", platform::MessageIcon::Warning}};
    EXPECT_EQ(recorder.Messages(), told);
    ShareBatch batch;
    HandleShareRequest(app, sep + "d" + sep + "f.txt", false, batch);
    ASSERT_EQ(app.shares.Count(), 1u);
    EXPECT_EQ(app.shares.ShareAt(0)->virtualPath, c.runFolder + "/f.txt");
    EXPECT_EQ(tests::ReadFileBytes(kSettingsFileName), stored);
    StopServer(app);
  }
}

// A start that fails gives back its socket itself, and the instance lock goes with the
// application: the caller has nothing to undo, and the next start runs.
TEST(ServerLifecycle, AFailedStartLeavesNothingForTheCallerToUndo) {
  const tests::HeldPort holder;
  ASSERT_TRUE(holder.Listening());
  const std::uint16_t held = holder.Port();
  struct Case {
    const char* name;
    std::uint16_t port;
    StartResult result;
    int error;  // the system's code the outcome carries, 0 for none
  };
  const Case cases[] = {
      {"port in use", held, StartResult::BindFailed, tests::kAddressInUse.code},
      {"stored port 0", 0, StartResult::PortInvalid, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    WriteSettingsWithPort(c.port);
    {
      Application app;
      MessageRecorder recorder(app.services.messages);
      const StartOutcome outcome = StartServer(app);
      ASSERT_EQ(outcome.result, c.result);
      EXPECT_EQ(outcome.error.code, c.error);
      EXPECT_EQ(app.listenSocket, platform::kInvalidSocket);
      EXPECT_FALSE(app.acceptThread.joinable());
      EXPECT_TRUE(recorder.Messages().empty());  // the caller tells the user
    }
    WriteSettingsWithPort(tests::FreePort());
    Application next;
    StopAtScopeEnd stopper(next);
    EXPECT_EQ(StartServer(next).result, StartResult::Running);
  }
}

// The failure a start carries is named as the system names it, with its number, whatever
// the code: the user can look either up.
TEST(ServerLifecycle, SocketFailuresCarryTheSystemsNameAndNumber) {
  for (std::size_t i = 0; i < tests::kNamedSocketErrorCount; ++i) {
    const tests::NamedSocketError& expected = tests::kNamedSocketErrors[i];
    SCOPED_TRACE(expected.described);
    const platform::SocketError error = platform::SocketErrorOf(expected.code);
    EXPECT_EQ(error.code, expected.code);
    EXPECT_EQ(platform::Describe(error), expected.described);
  }
}

// The panel the entry hands in, as the server calls it: one that records the calls.
class RecordingPanel {
 public:
  Panel Hooks() {
    return Panel{[this](Application&) {
                   Record("start");
                   return 1;
                 },
                 [this](Application&) { Record("wait"); }, [this](Application&) { Record("end"); }};
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

 private:
  void Record(const char* call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.emplace_back(call);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Where the server needs the panel it calls what it was handed: a start that cannot serve
// opens it instead and lives as long as it does; a panel request opens it; the stop ends
// it. Without a panel the same paths run and open nothing.
TEST(ServerLifecycle, TheServerCallsThePanelItWasHanded) {
  const tests::HeldPort holder;
  ASSERT_TRUE(holder.Listening());
  const std::uint16_t held = holder.Port();
  struct Case {
    const char* name;
    std::uint16_t port;  // 0: a free one
    bool panelRequest;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"port in use", held, false, {"start", "wait"}},
      {"running, stopped", 0, false, {"end"}},
      {"running, panel requested, stopped", 0, true, {"start", "end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    WriteSettingsWithPort(c.port != 0 ? c.port : tests::FreePort());
    RecordingPanel panel;
    Application app;
    MessageRecorder recorder(app.services.messages);
    app.panel = panel.Hooks();
    std::atomic<bool> ended{false};
    std::thread server([&] {
      RunServer(app);
      ended = true;
    });
    if (c.port == 0) {
      EXPECT_TRUE(WaitFor([] { return platform::ControlServerReachable(); }));
      if (c.panelRequest) {
        EXPECT_EQ(SendPanelRequest(app.services.messages), 1);
        EXPECT_TRUE(WaitFor([&] { return !panel.Calls().empty(); }));
      }
      EXPECT_EQ(SendStopRequest(app.services.messages), 1);
    }
    EXPECT_TRUE(WaitFor([&] { return ended.load(); }, 10000));
    server.join();
    EXPECT_EQ(panel.Calls(), c.calls);
  }
  // Without a panel, the panel request is served and nothing opens.
  ScopedTempDirectory dir;
  WriteSettingsWithPort(tests::FreePort());
  Application app;
  MessageRecorder recorder(app.services.messages);
  std::thread server([&] { RunServer(app); });
  EXPECT_TRUE(WaitFor([] { return platform::ControlServerReachable(); }));
  EXPECT_EQ(SendPanelRequest(app.services.messages), 1);
  EXPECT_EQ(SendStopRequest(app.services.messages), 1);
  server.join();
  EXPECT_FALSE(app.ui.active.load());
}

// The server's own start reads "common.cfg": a file it must not trust leaves port 80 and
// the default flags, although each one below names port 8123 and flags 0 in the right
// places.
TEST(ServerLifecycle, UnreadableSettingsMeanPort80AndDefaults) {
  const std::string valid = {
      'Q', 'C', static_cast<char>(8123 & 0xFF), static_cast<char>(8123 >> 8), 0, 0, 0, 0, 0, 0,
      0,   0};
  ASSERT_EQ(valid.size(), 12u);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"foreign magic", "QX" + valid.substr(2)},
      {"magic in the wrong case", "qc" + valid.substr(2)},
      {"magic bytes swapped", "CQ" + valid.substr(2)},
      {"header cut short", valid.substr(0, 11)},
      {"texts announced but missing", valid.substr(0, 8) + std::string("\x03\x00\x00\x00", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory dir;
    tests::WriteFileBytes(kSettingsFileName, c.bytes);
    Application app;
    MessageRecorder recorder(app.services.messages);
    StopAtScopeEnd stopper(app);
    StartResult result = StartServer(app).result;
    // Port 80 may be free or not here; either way the settings are the defaults.
    EXPECT_EQ(app.settings.port, 80);
    EXPECT_EQ(app.settings.flags, kCopyUrlAfterShare);
    if (result == StartResult::Running) StopServer(app);
  }
}

// A download that withdraws a one-shot share rewrites "shared.cfg" at once, in the
// directory the server started in, while the current directory is elsewhere (as under the
// panel's open-file dialog). A write that fails is told, and serving goes on.
TEST(ServerLifecycle, WithdrawalIsStoredAtOnceInTheStartupDirectory) {
  struct Case {
    const char* name;
    bool writesFail;
  };
  for (const Case& c : {Case{"stored", false}, Case{"write fails", true}}) {
    SCOPED_TRACE(c.name);
    ScopedTempDirectory startup;
    WriteSettingsWithPort(tests::FreePort(), 0);
    const std::string content = tests::wire::Content(5000);
    const std::string physical = (startup.path() / "once.bin").string();
    tests::WriteFileBytes(physical, content);
    // A bit nobody knows goes back unchanged.
    const std::string plain = tests::RecordBytes("/plain", physical, 0x100);
    const std::string before = plain + tests::RecordBytes("/once", physical, kOneShot);
    tests::WriteFileBytes(kSharesFileName, before);
    Application app;
    MessageRecorder recorder(app.services.messages);
    // A disk that is full only while the one-shot download runs.
    std::atomic<bool> diskFull{false};
    app.storedFiles.faults.writeAllowed = [&diskFull] { return !diskFull.load(); };
    StopAtScopeEnd stopper(app);
    ASSERT_EQ(StartServer(app).result, StartResult::Running);
    const std::uint16_t port = tests::LocalPort(app.listenSocket);
    {
      ScopedTempDirectory elsewhere;
      diskFull = c.writesFail;
      const std::string answer = tests::Exchange(port, {"GET /once HTTP/1.1\r\n\r\n"});
      diskFull = false;
      EXPECT_TRUE(answer ==
                  tests::wire::Head200(5000, tests::wire::ValidatorLines(physical)) + content)
          << tests::Excerpt(answer);
      EXPECT_FALSE(std::filesystem::exists(elsewhere.path() / kSharesFileName));
    }
    EXPECT_EQ(tests::Exchange(port, {"GET /once HTTP/1.1\r\n\r\n"}), tests::wire::kNotFoundPage);
    const std::string stored = tests::ReadFileBytes(startup.path() / kSharesFileName);
    EXPECT_EQ(stored, c.writesFail
                          ? before
                          : plain + tests::RecordBytes("/once", physical, kOneShot | kWithdrawn));
    const std::vector<RecordedMessage> told =
        c.writesFail ? std::vector<RecordedMessage>{AsRecorded(messages::kWithdrawalNotStored),
                                                    AsRecorded(messages::kDownloadsNotStored)}
                     : std::vector<RecordedMessage>{};
    EXPECT_EQ(recorder.Messages(), told);
    StopServer(app);
  }
}

// The withdrawal's rewrite of shared.cfg holds the share lock, so a share added while it is
// being saved waits for it, and both reach the file. Without the lock the share went into
// the old file, which the rewrite's replacement then dropped.
TEST(ServerLifecycle, AShareAddedWhileAWithdrawalIsSavedIsKept) {
  ScopedTempDirectory dir;
  Application app;
  app.storedFiles = StoredFiles::In(platform::CurrentDirectory());
  app.settings.flags = 0;
  const std::string sep(1, kPathSeparator);
  const std::string once = sep + "d" + sep + "once.bin";
  const std::string later = sep + "d" + sep + "later.bin";
  tests::WriteFileBytes(kSharesFileName, tests::RecordBytes("/once.bin", once, kOneShot));
  ASSERT_EQ(LoadShares(app.storedFiles, app.shares), 1);
  app.shares.SetWithdrawalListener([&app] { StoreWithdrawal(app); });
  const SharePtr served = app.shares.FindShare("/once.bin");
  ASSERT_NE(served, nullptr);
  // The rewrite's sync is held until the share has had its chance.
  std::promise<void> atSync;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  app.storedFiles.faults.syncAllowed = [&](platform::SyncKind kind) {
    if (kind == platform::SyncKind::File && first.exchange(false)) {
      atSync.set_value();
      released.wait();
    }
    return true;
  };
  MessageRecorder recorder(app.services.messages);
  std::thread download(
      [&] { EXPECT_EQ(app.shares.ClaimLastPiece(served, "/once.bin"), LastPieceClaim::Won); });
  atSync.get_future().wait();
  std::thread sharer([&] {
    ShareBatch batch;
    HandleShareRequest(app, later, false, batch);
  });
  // Long enough for a share that does not wait to have reached the file.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  release.set_value();
  download.join();
  sharer.join();
  EXPECT_EQ(tests::ReadFileBytes(kSharesFileName),
            tests::RecordBytes("/once.bin", once, kOneShot | kWithdrawn) +
                tests::RecordBytes("/later.bin", later, 0));
  EXPECT_TRUE(recorder.Messages().empty());
}

}  // namespace
}  // namespace qc
