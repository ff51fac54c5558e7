// The start whose port is taken: the user is told, the control panel opens with the
// settings and shares already loaded, and the server's life ends when the panel closes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/messages.h"
#include "app/server.h"
#include "test_ui_fixture.h"
#include "unit/platform_support.h"

namespace qc::tests {
namespace {

TEST(BindFailure, PanelOpensLoadedAndTheServerEndsWithIt) {
  // The port is taken, or it is 0 (which the system would replace by a random one while
  // every link names 0): either way the panel is where the user sets another.
  for (const bool portZero : {false, true}) {
    SCOPED_TRACE(portZero ? "stored port 0" : "port taken");
    ScopedTempDirectory dir;
    platform::SocketLibraryStart();
    platform::socket_t holder = platform::CreateTcpSocket();
    ASSERT_TRUE(platform::BindAnyAddress(holder, 0));
    ASSERT_TRUE(platform::Listen(holder, 1));
    const std::uint16_t port = portZero ? 0 : tests::LocalPort(holder);
    WriteFileBytes(kSettingsFileName,
                   std::string{'Q', 'C', static_cast<char>(port & 0xFF),
                               static_cast<char>(port >> 8), 0, 0, 0, 0, 0, 0, 0, 0});
    // One share on file: the panel must show it from its first paint.
    WriteFileBytes(kSharesFileName, std::string("\x06\x00\x06\x00\x00\x00/a.txtC:\\a.t", 18));

    Application app;
    MessageRecorder recorder(app.services.messages);
    app.panel = ControlPanelThread();
    std::atomic<int> result{0};
    std::atomic<bool> ended{false};
    std::thread server([&] {
      result = RunServer(app);
      ended = true;
    });
    // However the test goes on, the server's thread ends before `app` does: its panel is
    // closed, and a thread that still does not end stops the binary with a message rather
    // than running on over a destroyed application.
    struct EndServer {
      std::thread& thread;
      std::atomic<bool>& ended;
      ~EndServer() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!ended.load() && std::chrono::steady_clock::now() < deadline) {
          if (HWND panel = FindWindowA(kPanelClass, nullptr)) PostMessageA(panel, WM_CLOSE, 0, 0);
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!ended.load()) {
          std::fprintf(stderr, "BindFailure: the server's thread did not end with its panel\n");
          std::fflush(stderr);
          std::abort();
        }
        thread.join();
      }
    } endServer{server, ended};
    // The panel is complete once the hidden New share window exists (it comes second).
    const bool opened = WaitFor([] {
      HWND newShare = FindWindowA(kNewShareClass, nullptr);
      return newShare != nullptr && !IsWindowVisible(newShare);
    });
    HWND panel = FindWindowA(kPanelClass, nullptr);
    ASSERT_TRUE(opened && panel != nullptr) << "the control panel did not open";
    HWND list = GetDlgItem(panel, 2013);
    EXPECT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 1);
    EXPECT_EQ(app.settings.port, port);
    // The panel's URL copy looks the host up with the sockets the server started, so they
    // must still be started: the test lets go of its own start first.
    platform::SocketLibraryStop();
    SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(probe, INVALID_SOCKET) << WSAGetLastError();
    if (probe != INVALID_SOCKET) ::closesocket(probe);

    SendMessageA(panel, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return ended.load(); })) << "the server did not end with its panel";
    EXPECT_EQ(result.load(), 1);
    const messages::Message& told = portZero ? messages::kPortInvalid : messages::kBindFailed;
    ASSERT_EQ(recorder.Messages().size(), 1u);
    EXPECT_EQ(recorder.Messages()[0].text, told.text);
    EXPECT_EQ(recorder.Messages()[0].caption, told.caption);
    // The single-instance mutex went with it.
    Application next;
    EXPECT_TRUE(next.instance.Acquire());
    platform::CloseSocket(holder);
  }
}

}  // namespace
}  // namespace qc::tests
