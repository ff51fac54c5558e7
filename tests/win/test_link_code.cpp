// The control panel's "QR code": a window with the code of the selected share's link,
// redrawn as the selection changes, empty without one, read back off the screen module by
// module; its "Copy link" and its end with the panel.
#include <string>

#include "link_code_support.h"
#include "shares/share_url.h"
#include "test_ui_fixture.h"

namespace qc::tests {
namespace {

class PanelCodeTest : public PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    app_.settings.port = 8080;
    app_.settings.domain = "files.example.org";
    app_.settings.hostChoice = 0;
    // The last one holds an 8-bit byte of the code page, which the code must carry in UTF-8.
    for (const char* path : {"/pub/a.txt", "/pub/report 2009.pdf", "/pub/long", "/pub/caf\xE9"}) {
      app_.shares.AppendShare(std::string("C:\\files") + path, path, 0);
    }
    OpenPanel();
  }
  HWND OpenCodeWindow() {
    Click(panel_, 2018);
    HWND code = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (code = VisibleCodeWindow()) != nullptr; }))
        << "no QR code window";
    return code;
  }
  void Select(int row) {
    SetRowState(-1, 0, LVIS_SELECTED);
    if (row >= 0) SetRowState(row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  }
  static bool WaitForLink(HWND code, const std::string& link) {
    return WaitFor([&] { return CodeWindowLink(code) == link; });
  }
};

TEST_F(PanelCodeTest, FollowsTheSelectionAndShowsNothingWithoutOne) {
  const std::string links[] = {"http://files.example.org:8080/pub/a.txt",
                               "http://files.example.org:8080/pub/report%202009.pdf",
                               "http://files.example.org:8080/pub/long",
                               "http://files.example.org:8080/pub/caf\xE9"};
  HWND code = OpenCodeWindow();
  ASSERT_NE(code, nullptr);
  ExpectNoCode(code);
  struct Step {
    const char* name;
    int row;  // -1: nothing selected
    int shown;
  };
  const Step steps[] = {{"second row", 1, 1}, {"first row", 0, 0},  {"none", -1, -1},
                        {"third row", 2, 2},  {"8-bit byte", 3, 3}, {"second again", 1, 1}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    Select(step.row);
    const std::string want = step.shown < 0 ? std::string() : links[step.shown];
    ASSERT_TRUE(WaitForLink(code, want)) << "shows " << CodeWindowLink(code);
    if (step.shown < 0) {
      ExpectNoCode(code);
    } else {
      ExpectCodeOf(code, want);
    }
  }
  // Several rows selected: the focused one, when it is among them.
  SetRowState(2, LVIS_SELECTED, LVIS_SELECTED);
  SetRowState(0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  ASSERT_TRUE(WaitForLink(code, links[0]));
}

TEST_F(PanelCodeTest, CopyLinkCopiesItAndTheWindowGoesWithThePanel) {
  HWND code = OpenCodeWindow();
  ASSERT_NE(code, nullptr);
  Select(1);
  const std::string link = "http://files.example.org:8080/pub/report%202009.pdf";
  ASSERT_TRUE(WaitForLink(code, link));
  SendMessageA(code, WM_COMMAND, MAKEWPARAM(kCodeCopyId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(code, kCodeCopyId)));
  EXPECT_EQ(ClipboardText(), link);
  ASSERT_NE(app_.lastShared.Get(), nullptr);
  EXPECT_EQ(app_.lastShared.Get()->virtualPath, "/pub/report 2009.pdf");
  // Its close box hides it; the button brings it back with the selection's code.
  SendMessageA(code, WM_CLOSE, 0, 0);
  EXPECT_EQ(VisibleCodeWindow(), nullptr);
  EXPECT_EQ(OpenCodeWindow(), code);
  ASSERT_TRUE(WaitForLink(code, link));
  PressCloseBox();
  EXPECT_EQ(FindWindowA(kCodeClass, nullptr), nullptr) << "the window outlived the panel";
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(PanelCodeTest, DeletingTheShownShareRedrawsForTheRowThatTakesItsPlace) {
  HWND code = OpenCodeWindow();
  ASSERT_NE(code, nullptr);
  Select(0);
  ASSERT_TRUE(WaitForLink(code, "http://files.example.org:8080/pub/a.txt"));
  Click(panel_, 2015);  // Delete: the focused row goes
  const std::string after = CodeWindowLink(code);
  ASSERT_TRUE(WaitFor([&] {
    return CodeWindowLink(code) != "http://files.example.org:8080/pub/a.txt";
  })) << "still the deleted share's link";
  // Whatever the list selects now, the code is that row's or none.
  const std::string shown = CodeWindowLink(code);
  EXPECT_TRUE(shown.empty() || shown.find("/pub/a.txt") == std::string::npos) << after;
}

}  // namespace
}  // namespace qc::tests
