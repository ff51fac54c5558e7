// The server's notification-area icon, seen through the platform's record of what the icon
// was asked to show: added at start with the port in its tooltip, each menu line doing
// what it says through the same window messages a click produces, one notification per
// Send to, back after the shell restarts, gone on every way out, and none at all when the
// user turned it off or the server did not start.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/control.h"
#include "app/messages.h"
#include "app/notification_area.h"
#include "app/server.h"
#include "platform/notify_icon.h"
#include "link_code_support.h"
#include "test_ui_fixture.h"
#include "unit/net_support.h"
#include "unit/platform_support.h"

namespace qc::tests {
namespace {

using platform::NotifyIconChange;
using platform::NotifyIconRecord;
using platform::NotifyKind;

const std::vector<std::string> kMenuTexts = {"Control panel", "Copy links of all shares",
                                             "Show QR code of the last link", "Stop"};

// Every change the icon was asked for, in order, from whichever thread asked.
class IconRecorder {
 public:
  IconRecorder() = default;
  IconRecorder(const IconRecorder&) = delete;
  IconRecorder& operator=(const IconRecorder&) = delete;

  // What the icons are handed to be watched (an application's services.iconObserver).
  platform::NotifyIconObserver Observer() {
    return [this](const NotifyIconRecord& record) {
      std::lock_guard<std::mutex> guard(mutex_);
      records_.push_back(record);
    };
  }
  std::vector<NotifyIconRecord> Records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
  }
  std::vector<NotifyIconRecord> Of(NotifyIconChange change) const {
    std::vector<NotifyIconRecord> found;
    for (const NotifyIconRecord& record : Records()) {
      if (record.change == change) found.push_back(record);
    }
    return found;
  }
  bool WaitForCount(NotifyIconChange change, std::size_t n) {
    return WaitFor([&] { return Of(change).size() >= n; });
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.clear();
  }
  HWND Window() const {
    const std::vector<NotifyIconRecord> added = Of(NotifyIconChange::Add);
    return added.empty() ? nullptr : static_cast<HWND>(added.front().window);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<NotifyIconRecord> records_;
};

// The value that turns the icon (or the download notices) off, set for the life of the
// object and then put back as it was (absent in a fresh prefix).
class IconSetting {
 public:
  explicit IconSetting(DWORD value, const char* name = "NotificationIcon") : name_(name) {
    DWORD old = 0;
    DWORD size = sizeof old;
    had_ = RegGetValueA(HKEY_CURRENT_USER, "Software\\Quillcast", name_, RRF_RT_REG_DWORD, nullptr,
                        &old, &size) == ERROR_SUCCESS;
    old_ = old;
    Write(value);
  }
  ~IconSetting() {
    if (had_) {
      Write(old_);
    } else {
      RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Quillcast", name_);
    }
  }
  IconSetting(const IconSetting&) = delete;
  IconSetting& operator=(const IconSetting&) = delete;

 private:
  void Write(DWORD value) {
    RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Quillcast", name_, REG_DWORD, &value,
                    sizeof value);
  }
  const char* name_;
  bool had_ = false;
  DWORD old_ = 0;
};

void PutOnClipboard(const std::string& text) {
  for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(20);
  EmptyClipboard();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
  GlobalUnlock(memory);
  SetClipboardData(CF_TEXT, memory);
  CloseClipboard();
}

// Send to hands over full paths.
std::string FullPath(const std::string& file) {
  return (std::filesystem::current_path() / file).string();
}

// A real server in-process, in a fresh directory, on a free port, links on the test's
// first address; it is stopped and awaited however the test ends.
class ServerIconTest : public ::testing::Test {
 public:
  void SetUp() override {
    platform::SocketLibraryStart();
    port_ = tests::FreePort();
  }
  void TearDown() override {
    StopAndWait();
    platform::SocketLibraryStop();
  }

  void Start(const std::string& shares = "") {
    WriteSettingsWithPort(port_);
    WriteFileBytes(kSharesFileName, shares);
    // Each start gets an application of its own, as each process does.
    if (server_.joinable()) server_.join();
    ended_ = false;
    app_ = std::make_unique<Application>();
    app_->services.messages = messages_.Sink();
    app_->services.addresses = FakeHost(kTestAddresses);
    app_->services.iconObserver = icon_.Observer();
    // The panel is handed in, as the Windows entry does: the icon's line opens it.
    app_->panel = ControlPanelThread();
    server_ = std::thread([this] {
      result_ = RunServer(*app_);
      ended_ = true;
    });
  }
  // Until the icon is there and its window answers: the control loop waits.
  void StartWithIcon(const std::string& shares = "") {
    Start(shares);
    ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Add, 1)) << "no icon was added";
    SendMessageA(icon_.Window(), WM_NULL, 0, 0);
  }
  void StopAndWait() {
    if (!server_.joinable()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended_.load() && std::chrono::steady_clock::now() < deadline) {
      if (HWND panel = FindWindowA(kPanelClass, nullptr)) PostMessageA(panel, WM_CLOSE, 0, 0);
      platform::SendControlRequest(platform::ControlRequest::Stop);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended_.load()) {
      std::fprintf(stderr, "ServerIconTest: the server's thread did not end\n");
      std::fflush(stderr);
      std::abort();
    }
    server_.join();
  }
  bool WaitForEnd() {
    return WaitFor([&] { return ended_.load(); }, 15000);
  }
  void Choose(int command) { PostMessageA(icon_.Window(), WM_COMMAND, MAKEWPARAM(command, 0), 0); }
  void ClickIcon(UINT mouseMessage) {
    PostMessageA(icon_.Window(), platform::kNotifyIconMessage, 1, mouseMessage);
  }
  std::string Link(const std::string& virtualPath) {
    return "http://" + kTestAddresses[0] + ":" + std::to_string(port_) + virtualPath;
  }

  ScopedTempDirectory dir_;
  MessageRecorder messages_;
  IconRecorder icon_;
  std::unique_ptr<Application> app_;
  std::uint16_t port_ = 0;
  std::thread server_;
  std::atomic<int> result_{0};
  std::atomic<bool> ended_{false};
};

TEST_F(ServerIconTest, AddedAtStartAndRemovedByEveryStop) {
  struct Case {
    const char* name;
    std::function<void(ServerIconTest&)> stop;
  };
  const Case cases[] = {
      {"-stop", [](ServerIconTest& t) { EXPECT_EQ(SendStopRequest(t.messages_.Sink()), 1); }},
      {"menu Stop", [](ServerIconTest& t) { t.Choose(kTrayStop); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartWithIcon();
    const std::vector<NotifyIconRecord> added = icon_.Of(NotifyIconChange::Add);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].tooltip, "Quillcast - port " + std::to_string(port_));
    EXPECT_EQ(added[0].menu, kMenuTexts);
    // The icon's window is the server's only one, and it is never shown.
    EXPECT_FALSE(IsWindowVisible(icon_.Window()));
    EXPECT_EQ(FindWindowA(kPanelClass, nullptr), nullptr);

    c.stop(*this);
    ASSERT_TRUE(WaitForEnd()) << "the server did not stop";
    EXPECT_EQ(result_.load(), 1);  // the exit code of every way out
    const std::vector<NotifyIconRecord> records = icon_.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().change, NotifyIconChange::Delete);
    EXPECT_EQ(icon_.Of(NotifyIconChange::Delete).size(), 1u);
    EXPECT_FALSE(IsWindow(icon_.Window())) << "the icon's window outlived the server";
    EXPECT_TRUE(messages_.Messages().empty());

    // The next round starts clean.
    icon_.Clear();
  }
}

TEST_F(ServerIconTest, ControlPanelLineAndDoubleClickOpenThePanel) {
  struct Case {
    const char* name;
    std::function<void(ServerIconTest&)> open;
  };
  const Case cases[] = {
      {"menu Control panel", [](ServerIconTest& t) { t.Choose(kTrayOpenPanel); }},
      {"double-click", [](ServerIconTest& t) { t.ClickIcon(WM_LBUTTONDBLCLK); }},
  };
  StartWithIcon();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(FindWindowA(kPanelClass, nullptr), nullptr);
    c.open(*this);
    ASSERT_TRUE(WaitFor([] {
      HWND panel = FindWindowA(kPanelClass, nullptr);
      return panel != nullptr && IsWindowVisible(panel);
    })) << "the control panel did not open";
    SendMessageA(FindWindowA(kPanelClass, nullptr), WM_CLOSE, 0, 0);
    WaitForUiThread(*app_);
  }
  // The panel's way out leaves the icon in place: the server still runs.
  EXPECT_TRUE(icon_.Of(NotifyIconChange::Delete).empty());
}

TEST_F(ServerIconTest, CopyLinksLinePutsEveryShareOnTheClipboard) {
  struct Case {
    const char* name;
    std::string shares;
    std::string clipboard;  // expected; "" for "left as it was"
    std::string title;
    NotifyKind kind;
  };
  const Case cases[] = {
      {"two shares",
       RecordBytes("/a.txt", "C:\\a.txt", 0) + RecordBytes("/dir/b c.txt", "C:\\b c.txt", 1), "",
       kNoticeLinkCopied, NotifyKind::Info},
      {"no shares", "", "", kNoticeNoShares, NotifyKind::Info},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PutOnClipboard("before");
    StartWithIcon(c.shares);
    Choose(kTrayCopyLinks);
    ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 1)) << "no notification";
    const NotifyIconRecord told = icon_.Of(NotifyIconChange::Notify)[0];
    EXPECT_EQ(told.title, c.title);
    EXPECT_EQ(told.kind, c.kind);
    if (c.shares.empty()) {
      EXPECT_EQ(ClipboardText(), "before");
      EXPECT_EQ(told.text, kNoticeNoSharesText);
    } else {
      // The panel's copy of every row: the links joined by CR LF, the blank escaped.
      EXPECT_EQ(ClipboardText(), Link("/a.txt") + "\r\n" + Link("/dir/b%20c.txt"));
      EXPECT_EQ(told.text, Link("/a.txt") + "\n" + Link("/dir/b%20c.txt"));
    }
    EXPECT_EQ(SendStopRequest(messages_.Sink()), 1);
    ASSERT_TRUE(WaitForEnd());
    icon_.Clear();
  }
}

TEST_F(ServerIconTest, OneSendToGetsOneNotification) {
  StartWithIcon();
  WriteFileBytes("one.txt", "1");
  WriteFileBytes("two.txt", "2");
  std::filesystem::create_directory("folder");
  const std::string root = std::filesystem::current_path().root_path().string();
  struct Case {
    const char* name;
    std::vector<std::string> files;
    std::string title;
    std::vector<std::string> lines;
    NotifyKind kind;
    std::size_t boxes;  // the message boxes stay as they are
  };
  const Case cases[] = {
      {"two files",
       {"one.txt", "two.txt"},
       kNoticeLinkCopied,
       {Link("/one.txt"), Link("/two.txt")},
       NotifyKind::Info,
       0},
      {"one file", {"two.txt"}, kNoticeLinkCopied, {Link("/two.txt")}, NotifyKind::Info, 0},
      {"a folder", {"folder"}, kNoticeLinkCopied, {Link("/folder.zip")}, NotifyKind::Info, 0},
      // A whole drive is never shared from Send to: nobody is asked.
      {"a drive",
       {root},
       kNoticeShareFailed,
       {std::string(messages::kFolderIsDriveRoot.text)},
       NotifyKind::Error,
       1},
      {"a file and a drive",
       {"one.txt", root},
       kNoticeShareFailed,
       {std::string(messages::kFolderIsDriveRoot.text), "", "Link copied:", Link("/one.txt")},
       NotifyKind::Error,
       1},
  };
  std::size_t told = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.Clear();
    std::vector<std::string> full;
    for (const std::string& file : c.files) full.push_back(FullPath(file));
    EXPECT_EQ(SendShareRequests(messages_.Sink(), full), 1);
    ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, told + 1)) << "no notification";
    // A Wine process's messages take a few milliseconds: a second notification for the
    // same Send to would have come by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<NotifyIconRecord> notes = icon_.Of(NotifyIconChange::Notify);
    ASSERT_EQ(notes.size(), told + 1) << "more than one notification for one Send to";
    const NotifyIconRecord& note = notes.back();
    ++told;
    EXPECT_EQ(note.title, c.title);
    EXPECT_EQ(note.kind, c.kind);
    std::string expected;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
      if (i != 0) expected += '\n';
      // The drive's box names it under the headline; so does the notification.
      expected += c.lines[i].empty() ? root : c.lines[i];
    }
    if (c.kind == NotifyKind::Error && c.lines.size() == 1) {
      expected += "\n" + root;
    }
    EXPECT_EQ(note.text, expected);
    EXPECT_EQ(messages_.Messages().size(), c.boxes);
  }
  if (HasFailure()) return;
  // The clipboard holds the last batch's link, as the notification said.
  EXPECT_EQ(ClipboardText(), Link("/one.txt"));
}

TEST_F(ServerIconTest, ComesBackWhenTheShellRestarts) {
  StartWithIcon();
  // What a restarted Explorer broadcasts to every top-level window.
  const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Add, 2)) << "the icon did not come back";
  const std::vector<NotifyIconRecord> added = icon_.Of(NotifyIconChange::Add);
  EXPECT_EQ(added[1].tooltip, added[0].tooltip);
  EXPECT_EQ(added[1].menu, kMenuTexts);
  EXPECT_TRUE(icon_.Of(NotifyIconChange::Delete).empty());
}

TEST_F(ServerIconTest, TurnedOffShowsNothingAndServesAsUsual) {
  IconSetting off(0);
  Start();
  ASSERT_TRUE(WaitFor([] { return platform::ControlServerReachable(); }))
      << "the server did not start";
  WriteFileBytes("one.txt", "1");
  EXPECT_EQ(SendShareRequests(messages_.Sink(), {FullPath("one.txt")}), 1);
  ASSERT_TRUE(WaitFor([&] { return ClipboardText() == Link("/one.txt"); }));
  EXPECT_EQ(SendStopRequest(messages_.Sink()), 1);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_TRUE(icon_.Records().empty());
}

// "taskkill" without /F, and uninstallers, ask a program to end by sending WM_CLOSE to
// each of its top-level windows. The icon's window takes it as Stop: the server stops with
// its usual exit code and the icon goes. With the icon turned off the window is there all
// the same, so the request still finds the server.
TEST_F(ServerIconTest, ACloseRequestStopsTheServerAsStopDoes) {
  for (const DWORD setting : {DWORD{1}, DWORD{0}}) {
    SCOPED_TRACE(setting);
    IconSetting icon(setting);
    Start();
    HWND window = nullptr;
    ASSERT_TRUE(WaitFor([&] {
      return (window = FindWindowA("QuillcastNotifyIconOwner", nullptr)) != nullptr;
    })) << "the server has no window to ask";
    EXPECT_FALSE(IsWindowVisible(window));
    PostMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitForEnd()) << "the server did not stop";
    EXPECT_EQ(result_.load(), 1);
    EXPECT_FALSE(IsWindow(window));
    // Added and removed with the icon on; never with it off.
    EXPECT_EQ(icon_.Of(NotifyIconChange::Add).size(), setting);
    EXPECT_EQ(icon_.Of(NotifyIconChange::Delete).size(), setting);
    EXPECT_TRUE(messages_.Messages().empty());
    icon_.Clear();
  }
}

TEST_F(ServerIconTest, NoIconWhenTheServerDoesNotStart) {
  // A taken port: the panel opens instead of the server, and the process ends with it.
  platform::socket_t holder = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindAnyAddress(holder, port_));
  ASSERT_TRUE(platform::Listen(holder, 1));
  Start();
  ASSERT_TRUE(WaitFor([] {
    HWND newShare = FindWindowA(kNewShareClass, nullptr);
    return newShare != nullptr && !IsWindowVisible(newShare);
  })) << "the control panel did not open";
  SendMessageA(FindWindowA(kPanelClass, nullptr), WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(result_.load(), 1);
  platform::CloseSocket(holder);
  EXPECT_TRUE(icon_.Records().empty());

  // A second start while one runs is refused before anything is shown.
  StartWithIcon();
  Application second;
  second.services.messages = messages_.Sink();
  second.services.iconObserver = icon_.Observer();
  EXPECT_EQ(RunServer(second), 1);
  EXPECT_EQ(icon_.Of(NotifyIconChange::Add).size(), 1u);
  EXPECT_TRUE(icon_.Of(NotifyIconChange::Delete).empty());
}

}  // namespace
}  // namespace qc::tests

namespace qc::tests {
namespace {

// NIN_BALLOONUSERCLICK, as the shell sends it to an icon of the first version.
constexpr UINT kNotificationClick = WM_USER + 5;

TEST_F(ServerIconTest, ShowCodeLineAndALinkCopiedClickOpenTheCodeOfTheLastLink) {
  StartWithIcon();
  // Nothing shared or copied yet: the line says so, and no window opens.
  Choose(kTrayShowCode);
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 1));
  EXPECT_EQ(icon_.Of(NotifyIconChange::Notify)[0].title, kNoticeNoLink);
  ClickIcon(kNotificationClick);
  SendMessageA(icon_.Window(), WM_NULL, 0, 0);
  EXPECT_EQ(VisibleCodeWindow(), nullptr);

  // A Send to of two files: "Link copied"; its click shows the last file's link.
  WriteFileBytes("one.txt", "1");
  WriteFileBytes("two 2.txt", "2");
  ASSERT_EQ(SendShareRequests(messages_.Sink(), {FullPath("one.txt"), FullPath("two 2.txt")}), 1);
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 2));
  EXPECT_EQ(icon_.Of(NotifyIconChange::Notify)[1].title, kNoticeLinkCopied);
  ClickIcon(kNotificationClick);
  HWND code = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (code = VisibleCodeWindow()) != nullptr; }))
      << "the notification's click opened no window";
  ExpectCodeOf(code, Link("/two%202.txt"));

  // Closed, then the menu line: the same window again, with the last link.
  SendMessageA(code, WM_CLOSE, 0, 0);
  ASSERT_EQ(VisibleCodeWindow(), nullptr);
  Choose(kTrayShowCode);
  ASSERT_TRUE(WaitFor([&] { return VisibleCodeWindow() == code; }));
  ExpectCodeOf(code, Link("/two%202.txt"));

  // A later share is the last link now.
  PutOnClipboard("something else");
  WriteFileBytes("three.txt", "3");
  ASSERT_EQ(SendShareRequests(messages_.Sink(), {FullPath("three.txt")}), 1);
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 3));
  Choose(kTrayShowCode);
  ASSERT_TRUE(WaitFor([&] { return CodeWindowLink(code) == Link("/three.txt"); }));
  ExpectCodeOf(code, Link("/three.txt"));

  // The window goes with the server.
  EXPECT_EQ(SendStopRequest(messages_.Sink()), 1);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_FALSE(IsWindow(code)) << "the QR code window outlived the server";
}

// Each completed download is told beside the icon; several close together are told once;
// a HEAD and a cut-short answer are not downloads and tell nothing.
TEST_F(ServerIconTest, CompletedDownloadsAreToldOnceEachOrTogether) {
  WriteFileBytes("one.txt", "1");
  WriteFileBytes("two.txt", "22");
  StartWithIcon(RecordBytes("/one.txt", FullPath("one.txt"), 0) +
                RecordBytes("/two.txt", FullPath("two.txt"), 0));
  const auto get = [&](const std::string& method, const std::string& path) {
    Exchange(port_, {method + " " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"});
  };
  get("GET", "/one.txt");
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 1));
  std::vector<NotifyIconRecord> told = icon_.Of(NotifyIconChange::Notify);
  EXPECT_EQ(told[0].title, "Download completed");
  EXPECT_EQ(told[0].text, "one.txt was sent to 127.0.0.1 (1 byte)");
  EXPECT_EQ(told[0].kind, NotifyKind::Info);

  get("GET", "/one.txt");
  get("GET", "/two.txt");
  get("GET", "/two.txt");
  ASSERT_TRUE(icon_.WaitForCount(NotifyIconChange::Notify, 2));
  told = icon_.Of(NotifyIconChange::Notify);
  EXPECT_EQ(told[1].title, "Downloads completed");
  // Named after the first of them the server counted: each is counted by the thread that
  // served it once the client has acknowledged it, so the three may finish in any order.
  EXPECT_TRUE(told[1].text == "3 downloads completed: one.txt and 2 more" ||
              told[1].text == "3 downloads completed: two.txt and 2 more")
      << told[1].text;

  get("HEAD", "/one.txt");
  Exchange(port_, {"GET /two.txt HTTP/1.1\r\nRange: bytes=0-0\r\n\r\n"});
  std::this_thread::sleep_for(kNoticeGatherLimit);
  EXPECT_EQ(icon_.Of(NotifyIconChange::Notify).size(), 2u);
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(ServerIconTest, DownloadNoticesTurnedOffTellNothing) {
  IconSetting off(0, "DownloadNotices");
  WriteFileBytes("one.txt", "1");
  StartWithIcon(RecordBytes("/one.txt", FullPath("one.txt"), 0));
  Exchange(port_, {"GET /one.txt HTTP/1.1\r\n\r\n"});
  ASSERT_TRUE(WaitFor([&] { return app_->shares.ShareAt(0)->Tally().completed == 1; }));
  std::this_thread::sleep_for(kNoticeQuiet * 2);
  EXPECT_TRUE(icon_.Of(NotifyIconChange::Notify).empty());
  EXPECT_EQ(icon_.Of(NotifyIconChange::Add).size(), 1u);  // the icon itself stays
}

}  // namespace
}  // namespace qc::tests
