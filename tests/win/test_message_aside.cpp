// A message shown aside (from a connection thread): the caller goes on at once while the box
// waits for its click, boxes of the same fault do not stack up, and once the box is
// dismissed the next fault is told again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/message.h"
#include "platform/os_windows.h"
#include "unit/test_support.h"

namespace qc {
namespace {

using tests::WaitFor;

constexpr char kCaption[] = "AsideTestCaption";
constexpr platform::Message kAside{"Shown aside by the test", kCaption,
                                   platform::MessageIcon::Error};

int BoxesUp() {
  int n = 0;
  for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", kCaption); w != nullptr;
       w = FindWindowExA(nullptr, w, "#32770", kCaption)) {
    ++n;
  }
  return n;
}

void DismissBoxes() {
  for (HWND w = FindWindowExA(nullptr, nullptr, "#32770", kCaption); w != nullptr;
       w = FindWindowExA(nullptr, w, "#32770", kCaption)) {
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(w, IDOK)));
  }
}

TEST(MessageAside, CallerGoesOnWhileTheBoxWaitsAndBoxesDoNotStack) {
  const platform::MessageSink boxes = platform::SystemMessageSink();  // real message boxes
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    platform::ShowMessageAside(boxes, kAside);
    returned.store(true);
  });
  if (!WaitFor([&] { return returned.load(); })) {
    DismissBoxes();
    caller.join();
    FAIL() << "the caller waited for the box";
  }
  ASSERT_TRUE(WaitFor([] { return BoxesUp() == 1; })) << BoxesUp() << " boxes";
  // The same fault again while the box is up: no second box.
  for (int i = 0; i < 5; ++i) platform::ShowMessageAside(boxes, kAside);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(BoxesUp(), 1);

  caller.join();
  DismissBoxes();
  EXPECT_TRUE(WaitFor([] { return BoxesUp() == 0; }));
  // Once dismissed, the next fault is told again (its box thread clears the mark just after
  // the click, so the first tries may still count as repeats).
  EXPECT_TRUE(WaitFor([&] {
    platform::ShowMessageAside(boxes, kAside);
    return BoxesUp() == 1;
  }));
  DismissBoxes();
  EXPECT_TRUE(WaitFor([] { return BoxesUp() == 0; }));
}

}  // namespace
}  // namespace qc
