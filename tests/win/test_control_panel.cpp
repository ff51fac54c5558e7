// The control panel window and its thread, driven in-process.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "app/messages.h"
#include "platform/file.h"
#include "win/test_ui_fixture.h"

namespace qc::tests {
namespace {

using platform::MessageIcon;

struct ExpectedControl {
  const char* className;
  const char* text;
  int id;
  int x, y, width, height;
  DWORD exStyle;
  DWORD style;
};

// The panel's 20 controls in creation order, written out independently of the code's table.
const ExpectedControl kExpectedPanel[] = {
    {"Button", "Copy to clipboard", 2017, 368, 208, 112, 24, 0, 0x50010000},
    {"Button", "Share", 2016, 216, 8, 272, 232, 0, 0x50020007},
    {"Button", "Delete", 2015, 296, 208, 64, 24, 0, 0x50010000},
    {"Button", "Add", 2014, 224, 208, 64, 24, 0, 0x50010000},
    {"SysListView32", "", 2013, 224, 32, 256, 168, WS_EX_CLIENTEDGE, 0x50200001},
    {"Button", "Net", 2012, 8, 8, 200, 232, 0, 0x50020007},
    {"ComboBox", "", 2011, 40, 80, 152, 23, 0, 0x50010203},
    {"Edit", "localhost", 2010, 40, 120, 152, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Edit", "/temp", 2009, 40, 168, 152, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Button", "Copy to clipboard", 2008, 16, 216, 150, 16, 0, 0x50010003},
    {"Button", "Unshare after the full upload", 2007, 16, 200, 184, 16, 0, 0x50010003},
    {"Static", "Default virtual folder:", 2006, 16, 152, 120, 16, 0, 0x50000300},
    {"Button", "Use domain or other string", 2005, 16, 104, 168, 16, 0, 0x50010009},
    {"Button", "Use ip address", 2004, 16, 64, 104, 16, 0, 0x50010009},
    {"Edit", "80", 2003, 128, 29, 64, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Static", "Port number:", 2002, 16, 32, 88, 16, 0, 0x50000300},
    {"Button", "Close", 2001, 392, 248, 96, 32, 0, 0x50010000},
    {"Button", "About", 2000, 8, 248, 96, 32, 0, 0x50010000},
    {"Button", "QR code", 2018, 288, 248, 96, 32, 0, 0x50010000},
    {"Button", "Edit limits", 2019, 184, 248, 96, 32, 0, 0x50010000},
};

const ExpectedControl kExpectedNewShare[] = {
    {"Button", "Cancel", 2001, 8, 152, 72, 24, 0, 0x50010000},
    {"Button", "OK", 2015, 280, 152, 72, 24, 0, 0x50010000},
    {"Edit", "/", 2010, 8, 72, 344, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Static", "Virtual file:", 2006, 8, 56, 64, 16, 0, 0x50000300},
    {"Button", "...", 2014, 320, 24, 32, 24, 0, 0x50010000},
    {"Edit", "", 2003, 8, 24, 232, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Static", "Physical file:", 2002, 8, 8, 112, 16, 0, 0x50000300},
    {"Static", "Downloads (empty: no limit):", 2020, 8, 104, 170, 16, 0, 0x50000300},
    {"Edit", "", 2021, 8, 120, 120, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Static", "Ends at (2026-12-31T18:00):", 2022, 184, 104, 168, 16, 0, 0x50000300},
    {"Edit", "", 2023, 184, 120, 168, 24, WS_EX_CLIENTEDGE, 0x50010080},
    {"Button", "Folder...", 2024, 248, 24, 64, 24, 0, 0x50010000},
};

RECT ClientRectOf(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// Children in creation order (each new child goes below its older siblings).
std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

template <std::size_t N>
void ExpectControls(HWND parent, const ExpectedControl (&expected)[N]) {
  const std::vector<HWND> children = ChildrenOf(parent);
  ASSERT_EQ(children.size(), N);
  HFONT shared = reinterpret_cast<HFONT>(SendMessageA(children[0], WM_GETFONT, 0, 0));
  ASSERT_NE(shared, nullptr);
  for (std::size_t i = 0; i < N; ++i) {
    const ExpectedControl& want = expected[i];
    HWND control = children[i];
    SCOPED_TRACE(std::string("control ") + std::to_string(want.id) + " \"" + want.text + "\"");
    EXPECT_EQ(ClassOf(control), want.className);
    EXPECT_EQ(GetDlgCtrlID(control), want.id);
    if (std::string(want.className) != "ComboBox") {
      EXPECT_EQ(TextOf(control), want.text);
    }
    const RECT rect = ClientRectOf(control);
    EXPECT_EQ(rect.left, want.x);
    EXPECT_EQ(rect.top, want.y);
    EXPECT_EQ(rect.right - rect.left, want.width);
    // A closed drop-down list is as tall as its selection field, whatever height it was
    // created with; that height is only the dropped-down list's bound.
    if (std::string(want.className) != "ComboBox") {
      EXPECT_EQ(rect.bottom - rect.top, want.height);
    }
    DWORD style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
    DWORD wantStyle = want.style;
    if (std::string(want.className) == "SysListView32") {
      // The list view shows its scroll bars (and the style bits) only when rows or columns
      // overflow; the download columns pass its width.
      style &= ~(WS_VSCROLL | WS_HSCROLL);
      wantStyle &= ~(WS_VSCROLL | WS_HSCROLL);
    }
    if ((want.style & BS_TYPEMASK) == BS_AUTORADIOBUTTON &&
        std::string(want.className) == "Button" &&
        SendMessageA(control, BM_GETCHECK, 0, 0) != BST_CHECKED) {
      // An auto radio button gives up WS_TABSTOP when a sibling of its group is checked.
      wantStyle &= ~WS_TABSTOP;
    }
    EXPECT_EQ(style, wantStyle);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(control, GWL_EXSTYLE)), want.exStyle);
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    if (std::string(want.className) == "SysListView32") {
      EXPECT_NE(font, shared);
    } else {
      EXPECT_EQ(font, shared);
    }
  }
}

TEST_F(PanelTest, PanelControlsAreCreatedAsTabled) {
  OpenPanel();
  ExpectControls(panel_, kExpectedPanel);
}

TEST_F(PanelTest, NewShareControlsAreCreatedAsTabled) {
  OpenPanel();
  ExpectControls(newShare_, kExpectedNewShare);
}

TEST_F(PanelTest, BothWindowsShareOneVerdanaFont) {
  OpenPanel();
  HFONT panelFont =
      reinterpret_cast<HFONT>(SendMessageA(GetDlgItem(panel_, 2000), WM_GETFONT, 0, 0));
  HFONT newShareFont =
      reinterpret_cast<HFONT>(SendMessageA(GetDlgItem(newShare_, 2001), WM_GETFONT, 0, 0));
  EXPECT_EQ(panelFont, newShareFont);
  LOGFONTA font{};
  ASSERT_EQ(GetObjectA(panelFont, sizeof font, &font), static_cast<int>(sizeof font));
  EXPECT_EQ(font.lfHeight, -11);
  EXPECT_EQ(font.lfWidth, 0);
  EXPECT_EQ(font.lfEscapement, 0);
  EXPECT_EQ(font.lfOrientation, 0);
  EXPECT_EQ(font.lfWeight, 400);
  EXPECT_EQ(font.lfItalic, 0);
  EXPECT_EQ(font.lfUnderline, 0);
  EXPECT_EQ(font.lfStrikeOut, 0);
  EXPECT_EQ(font.lfCharSet, 0);
  EXPECT_EQ(font.lfOutPrecision, 0);
  EXPECT_EQ(font.lfClipPrecision, 0);
  EXPECT_EQ(font.lfQuality, 0);
  EXPECT_EQ(font.lfPitchAndFamily, 0);
  EXPECT_STREQ(font.lfFaceName, "Verdana");
}

TEST_F(PanelTest, TopLevelWindowsAndClasses) {
  OpenPanel();
  struct Case {
    HWND window;
    const char* className;
    const char* title;
    int width, height;
    DWORD style;
    DWORD exStyle;
  };
  const Case cases[] = {
      // DragAcceptFiles adds WS_EX_ACCEPTFILES to the panel.
      {panel_, kPanelClass, "Quillcast Control Panel", 504, 319, 0x14CA0000,
       256 | WS_EX_ACCEPTFILES},
      // Hidden right after its creation: the same style without WS_VISIBLE.
      {newShare_, kNewShareClass, "New share", 369, 215, 0x14CA0000 & ~WS_VISIBLE, 256},
  };
  WNDPROC procedures[2] = {};
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.className);
    EXPECT_EQ(TextOf(c.window), c.title);
    RECT rect{};
    GetWindowRect(c.window, &rect);
    EXPECT_EQ(rect.right - rect.left, c.width);
    EXPECT_EQ(rect.bottom - rect.top, c.height);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(c.window, GWL_STYLE)), c.style);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(c.window, GWL_EXSTYLE)), c.exStyle);
    EXPECT_EQ(GetParent(c.window), nullptr);
    EXPECT_EQ(GetWindow(c.window, GW_OWNER), nullptr);
    EXPECT_EQ(GetMenu(c.window), nullptr);

    WNDCLASSA info{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), c.className, &info));
    EXPECT_EQ(info.style, 136u);
    EXPECT_EQ(info.cbClsExtra, 0);
    EXPECT_EQ(info.cbWndExtra, 0);
    EXPECT_EQ(info.hIcon, LoadIconA(nullptr, IDI_APPLICATION));
    EXPECT_EQ(info.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(info.hbrBackground, reinterpret_cast<HBRUSH>(16));
    EXPECT_EQ(info.lpszMenuName, nullptr);
    EXPECT_EQ(info.hInstance, GetModuleHandleA(nullptr));
    procedures[index++] = info.lpfnWndProc;
  }
  EXPECT_NE(procedures[0], procedures[1]);
  EXPECT_FALSE(IsWindowVisible(newShare_));
  EXPECT_TRUE(IsWindowVisible(panel_));
}

TEST_F(PanelTest, ShareListViewColumnsAndStyles) {
  OpenPanel();
  EXPECT_EQ(SendMessageA(List(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), LVS_EX_FULLROWSELECT);
  struct Column {
    const char* text;
    int width;
  };
  const Column columns[] = {{"File", 100},          {"Virtual folder", 150}, {"Downloads", 70},
                            {"Last download", 190}, {"Remaining", 130},      {"Progress", 170}};
  for (int index = 0; index < 6; ++index) {
    char text[64] = {};
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.pszText = text;
    column.cchTextMax = sizeof text;
    ASSERT_TRUE(SendMessageA(List(), LVM_GETCOLUMNA, index, reinterpret_cast<LPARAM>(&column)));
    EXPECT_STREQ(text, columns[index].text);
    EXPECT_EQ(column.cx, columns[index].width);
    EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
  }
  // The host list: the three addresses in the order the system lists them (no default
  // route here), unsorted.
  ASSERT_EQ(SendMessageA(Combo(), CB_GETCOUNT, 0, 0), 3);
  for (int i = 0; i < 3; ++i) {
    char item[64] = {};
    SendMessageA(Combo(), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(item, kTestAddresses[i]);
  }
}

TEST_F(PanelTest, FillsControlsFromSettings) {
  struct Case {
    const char* name;
    std::uint16_t port, hostChoice, flags;
    std::string domain, folder;
    std::string portText, domainText, folderText;
    bool useIp;
    int selection;
    bool oneShot, copy;
  };
  const Case cases[] = {
      {"defaults", 80, 0, 2, "", "", "80", "localhost", "/temp", false, 0, false, true},
      {"texts", 8080, 0, 0, "example.org", "/pub", "8080", "example.org", "/pub", false, 0, false,
       false},
      {"second address", 81, 2, 1, "", "", "81", "localhost", "/temp", true, 1, true, false},
      {"both flags", 1, 3, 3, "h", "/f", "1", "h", "/f", true, 2, true, true},
      {"choice past the list", 80, 4, 0, "", "", "80", "localhost", "/temp", true, -1, false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app_.settings.port = c.port;
    app_.settings.hostChoice = c.hostChoice;
    app_.settings.flags = c.flags;
    app_.settings.domain = c.domain;
    app_.settings.defaultFolder = c.folder;
    OpenPanel();
    EXPECT_EQ(Text(panel_, 2003), c.portText);
    EXPECT_EQ(Text(panel_, 2010), c.domainText);
    EXPECT_EQ(Text(panel_, 2009), c.folderText);
    EXPECT_EQ(Checked(2004), c.useIp);
    EXPECT_EQ(Checked(2005), !c.useIp);
    EXPECT_EQ(SendMessageA(Combo(), CB_GETCURSEL, 0, 0), c.selection);
    EXPECT_EQ(Checked(2007), c.oneShot);
    EXPECT_EQ(Checked(2008), c.copy);
    PressCloseBox();
  }
}

TEST_F(PanelTest, RowsSplitVirtualPathsAtTheLastSlash) {
  app_.shares.AppendShare("C:\\temp\\a.txt", "/temp/a.txt", 0);
  app_.shares.AppendShare("C:\\temp\\b", "/dir/sub/", 0);
  app_.shares.AppendShare("C:\\temp\\c", "noslash", 0);
  app_.shares.AppendShare("C:\\temp\\d", "/d.bin", 0);
  OpenPanel();
  ASSERT_EQ(RowCount(), 4);
  const std::pair<std::string, std::string> rows[] = {{"a.txt", "/temp/"},
                                                      {"", "/dir/sub/"},
                                                      {"error, virtual path is invalid", ""},
                                                      {"d.bin", "/"}};
  for (int row = 0; row < 4; ++row) {
    EXPECT_EQ(Cell(row, 0), rows[row].first) << row;
    EXPECT_EQ(Cell(row, 1), rows[row].second) << row;
  }
}

TEST_F(PanelTest, SavePortCases) {
  // A number outside 1-65535 (none at all reads as 0) is refused: the panel stays open and
  // nothing is stored. Port 0 would make the server listen on a random port, and the low
  // 16 bits of a larger number on a port nobody typed.
  struct Case {
    const char* typed;
    std::uint16_t stored;
    bool notice;
    bool refused;
  };
  const Case cases[] = {
      {"81abc", 81, true, false},
      {"abc", 80, false, true},
      {"", 80, false, true},
      {"65617", 80, false, true},
      {"80", 80, false, false},
      {"  +80x", 80, false, false},
      {"-1", 80, false, true},
      {"0080", 80, false, false},
      {"99999999999999999999", 80, false, true},
      {"0", 80, false, true},
      {"65535", 65535, true, false},
      {"1", 1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    app_.settings.port = 80;
    messages_.Clear();
    DeleteFileA("common.cfg");
    OpenPanel();
    SetText(panel_, 2003, c.typed);
    if (c.refused) {
      Click(panel_, 2001);
      EXPECT_TRUE(IsWindow(panel_));
      PressCloseBox();
    } else {
      PressClose();
    }
    EXPECT_EQ(app_.settings.port, c.stored);
    std::vector<RecordedMessage> expected;
    if (c.notice) {
      expected.push_back(
          {"Requires restart the server to update the port", "Attention", MessageIcon::None});
    }
    if (c.refused)
      expected.push_back(
          {"The port number must be from 1 to 65535", "Attention", MessageIcon::Warning});
    EXPECT_EQ(messages_.Messages(), expected);
    if (c.refused) {
      EXPECT_FALSE(Exists("common.cfg"));
    } else {
      EXPECT_EQ(CommonCfg(), SettingsBytes(c.stored, 0, 2, "localhost", "/temp"));
    }
  }
}

TEST_F(PanelTest, CloseRefusesSettingsThatWouldBreakEveryLink) {
  const std::string port = "The port number must be from 1 to 65535";
  const std::string domain =
      "The domain must be a host name or an IPv4 address, optionally followed by \":\" and a port "
      "from 1 to 65535";
  const std::string ipv6 = "The domain can't be an IPv6 address: the server listens on IPv4 only";
  const std::string folder =
      "The default virtual folder must be empty or begin with \"/\", without blanks, control "
      "characters, "
      "\"?\", \"#\" or \"@\"";
  struct Case {
    int field;
    const char* typed;
    const std::string& message;
  };
  const Case cases[] = {
      {2003, "0", port},
      {2010, "a b", domain},
      {2010, "x@evil.org", domain},
      {2010, "host:0", domain},
      {2010, "[::1]", ipv6},
      {2009, "abc", folder},
      {2009, "@example.org", folder},
      {2009, "/a b", folder},
      {2009, "/a?b", folder},
  };
  WriteFileBytes("shared.cfg",
                 RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
    messages_.Clear();
    OpenPanel();
    // A pending rewrite waits with the settings.
    SetRowState(0, LVIS_FOCUSED, LVIS_FOCUSED);
    Click(panel_, 2015);
    SetText(panel_, c.field, c.typed);
    Click(panel_, 2001);
    EXPECT_EQ(messages_.Messages(),
              (std::vector<RecordedMessage>{{c.message, "Attention", MessageIcon::Warning}}));
    // Still open, with the field to put right focused; nothing stored.
    ASSERT_TRUE(IsWindow(panel_));
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(panel_, nullptr), &thread));
    EXPECT_EQ(thread.hwndFocus, GetDlgItem(panel_, c.field));
    EXPECT_FALSE(Exists("common.cfg"));
    EXPECT_EQ(SharedCfg(), RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
    EXPECT_EQ(app_.settings.port, 80);
    EXPECT_EQ(app_.settings.domain, "");
    EXPECT_EQ(app_.settings.defaultFolder, "");
    // Put right, the same Close saves both files.
    SetText(panel_, 2003, "80");
    SetText(panel_, 2010, "files.example.org:8080");
    SetText(panel_, 2009, "/pub");
    PressClose();
    EXPECT_EQ(CommonCfg(), SettingsBytes(80, 0, 2, "files.example.org:8080", "/pub"));
    EXPECT_EQ(SharedCfg(), RecordBytes("/v/b", "C:\\x\\b", 0));
    DeleteFileA("common.cfg");
    WriteFileBytes("shared.cfg",
                   RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
    app_.settings = ServerSettings{};
    app_.settings.port = 80;
  }
}

TEST_F(PanelTest, SaveHostChoiceCases) {
  struct Case {
    const char* name;
    bool useIp;
    int selection;  // -1: none
    std::string domainTyped;
    std::uint16_t hostChoice;
    std::string domainStored;
  };
  const Case cases[] = {
      {"third address", true, 2, "example.org", 3, "example.org"},
      {"first address", true, 0, "", 1, ""},
      {"ip without selection keeps an empty domain", true, -1, "", 0, ""},
      {"domain typed", false, 0, "example.org", 0, "example.org"},
      {"empty domain becomes localhost", false, 1, "", 0, "localhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenPanel();
    SendMessageA(GetDlgItem(panel_, c.useIp ? 2004 : 2005), BM_CLICK, 0, 0);
    EXPECT_EQ(Checked(2004), c.useIp);
    EXPECT_EQ(Checked(2005), !c.useIp);
    SendMessageA(Combo(), CB_SETCURSEL, static_cast<WPARAM>(c.selection), 0);
    SetText(panel_, 2010, c.domainTyped);
    SetText(panel_, 2009, "");
    PressClose();
    EXPECT_EQ(app_.settings.hostChoice, c.hostChoice);
    EXPECT_EQ(app_.settings.domain, c.domainStored);
    EXPECT_EQ(app_.settings.defaultFolder, "");
    EXPECT_EQ(CommonCfg(), SettingsBytes(80, c.hostChoice, 2, c.domainStored, ""));
  }
}

TEST_F(PanelTest, SaveFlagsFromTheCheckBoxes) {
  for (int flags = 0; flags < 4; ++flags) {
    SCOPED_TRACE(flags);
    OpenPanel();
    SendMessageA(GetDlgItem(panel_, 2007), BM_SETCHECK, (flags & 1) ? BST_CHECKED : BST_UNCHECKED,
                 0);
    SendMessageA(GetDlgItem(panel_, 2008), BM_SETCHECK, (flags & 2) ? BST_CHECKED : BST_UNCHECKED,
                 0);
    SetText(panel_, 2009, "/pub");
    PressClose();
    EXPECT_EQ(app_.settings.flags, flags);
    EXPECT_EQ(CommonCfg(),
              SettingsBytes(80, 0, static_cast<std::uint16_t>(flags), "localhost", "/pub"));
  }
}

TEST_F(PanelTest, AboutShowsTheVersion) {
  OpenPanel();
  Click(panel_, 2000);
  EXPECT_EQ(messages_.Messages(),
            (std::vector<RecordedMessage>{{"Quillcast BETA 1.0.0", "About", MessageIcon::None}}));
}

TEST_F(PanelTest, DeleteRemovesOnlyTheFocusedRow) {
  for (const char* name : {"a", "b", "c", "d"}) {
    app_.shares.AppendShare(std::string("C:\\x\\") + name, std::string("/v/") + name, 0);
  }
  OpenPanel();
  // Nothing focused: Delete does nothing.
  Click(panel_, 2015);
  EXPECT_EQ(RowCount(), 4);
  EXPECT_FALSE(app_.ui.sharesDirty.load());

  SetRowState(0, LVIS_SELECTED, LVIS_SELECTED);
  SetRowState(3, LVIS_SELECTED, LVIS_SELECTED);
  SetRowState(2, LVIS_FOCUSED, LVIS_FOCUSED | LVIS_SELECTED);
  Click(panel_, 2015);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/v/a", "/v/b", "/v/d"}));
  EXPECT_TRUE(app_.ui.sharesDirty.load());
  EXPECT_FALSE(Exists("shared.cfg"));  // untouched until "Close"
}

TEST_F(PanelTest, CloseRewritesSharesAfterDeleteAndStoresSettings) {
  WriteFileBytes("shared.cfg",
                 RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 1));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  OpenPanel();
  SetRowState(0, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  Click(panel_, 2015);
  EXPECT_EQ(SharedCfg(), RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 1));
  EXPECT_FALSE(Exists("common.cfg"));
  PressClose();
  EXPECT_EQ(SharedCfg(), RecordBytes("/v/b", "C:\\x\\b", 1));
  EXPECT_EQ(CommonCfg(), SettingsBytes(80, 0, 2, "localhost", "/temp"));
  EXPECT_FALSE(app_.ui.sharesDirty.load());
}

TEST_F(PanelTest, CloseWithoutDeleteLeavesSharedCfgAlone) {
  const std::string shares = RecordBytes("/v/a", "C:\\x\\a", 0);
  WriteFileBytes("shared.cfg", shares);
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  // A record the registry does not hold: a rewrite would drop it. (Bytes of a cut record
  // no longer serve: the load itself cuts them off.)
  const std::string unknown = RecordBytes("/v/unknown", "C:\\x\\unknown", 0);
  WriteFileBytes("shared.cfg", shares + unknown);
  OpenPanel();
  PressClose();
  EXPECT_EQ(SharedCfg(), shares + unknown);
}

TEST_F(PanelTest, CloseBoxSavesNothing) {
  WriteFileBytes("shared.cfg",
                 RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  OpenPanel();
  SetText(panel_, 2003, "8080");
  SetText(panel_, 2010, "typed.example");
  SetRowState(1, LVIS_FOCUSED, LVIS_FOCUSED);
  Click(panel_, 2015);
  PressCloseBox();
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/v/a"}));  // no longer served
  EXPECT_EQ(SharedCfg(), RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
  EXPECT_FALSE(Exists("common.cfg"));
  EXPECT_EQ(app_.settings.port, 80);
  EXPECT_EQ(app_.settings.domain, "");
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(PanelTest, DropAddsFilesInOrderNeverOneShot) {
  app_.settings.flags = kNewSharesOneShot;
  app_.settings.defaultFolder = "/saved";
  OpenPanel();
  EXPECT_TRUE(Checked(2007));
  // A folder typed since the panel opened plays no part until it is saved.
  SetText(panel_, 2009, "/typed");
  const std::vector<std::string> files = {"C:\\d\\one.txt", "C:\\d\\two.bin", "C:\\e\\three"};
  SendMessageA(panel_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(files)), 0);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"one.txt", "two.bin", "three"}));
  EXPECT_EQ(Cell(2, 1), "/saved/");
  EXPECT_EQ(VirtualPaths(),
            (std::vector<std::string>{"/saved/one.txt", "/saved/two.bin", "/saved/three"}));
  for (const SharePtr& share : app_.shares.Snapshot()) EXPECT_EQ(share->flags.load(), 0u);
  EXPECT_EQ(SharedCfg(), RecordBytes("/saved/one.txt", files[0], 0) +
                             RecordBytes("/saved/two.bin", files[1], 0) +
                             RecordBytes("/saved/three", files[2], 0));
  EXPECT_FALSE(Exists("common.cfg"));
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(PanelTest, DropSkipsNamesWithoutAFolderAndAppendsEvenWhenDirty) {
  app_.shares.AppendShare("C:\\x\\old", "/v/old", 0);
  OpenPanel();
  SetRowState(0, LVIS_FOCUSED, LVIS_FOCUSED);
  Click(panel_, 2015);
  ASSERT_TRUE(app_.ui.sharesDirty.load());
  SendMessageA(panel_, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({"nofolder.txt", "C:\\d\\kept.txt"})), 0);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"kept.txt"}));
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/kept.txt"}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/kept.txt", "C:\\d\\kept.txt", 0));
  EXPECT_EQ(messages_.Messages(), (std::vector<RecordedMessage>{{"Incorrect physical path to file",
                                                                 "Error", MessageIcon::Error}}));
}

// A dropped folder is shared as Send to shares it: one archive, "name.zip" in the default
// folder, between the files dropped around it, under the share rule of files.
TEST_F(PanelTest, DroppedFolderIsSharedAsItsArchiveBetweenTheFilesAroundIt) {
  const std::string here = platform::CurrentDirectory();
  for (const char* name : {"\\photos", "\\other", "\\other\\photos", "\\music"}) {
    ASSERT_TRUE(CreateDirectoryA((here + name).c_str(), nullptr)) << name;
  }
  const std::string photos = here + "\\photos";
  const std::string otherPhotos = here + "\\other\\photos";
  const std::string music = here + "\\music";
  std::string upper = photos;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::vector<std::string> dropped;
    std::vector<std::string> added;     // the virtual paths the drop adds, in order
    std::vector<std::string> physical;  // and their physical paths
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"a folder between two files",
       {"C:\\d\\a.txt", photos, "C:\\d\\b.txt"},
       {"/saved/a.txt", "/saved/photos.zip", "/saved/b.txt"},
       {"C:\\d\\a.txt", photos, "C:\\d\\b.txt"},
       {}},
      {"another folder of a taken name is numbered as a file is",
       {otherPhotos},
       {"/saved/photos (2).zip"},
       {otherPhotos},
       {}},
      {"the same folder again, as Windows compares names, keeps its one share",
       {upper},
       {},
       {},
       {"This file is already shared, under the virtual path\n\n/saved/photos.zip"}},
      {"a trailing backslash is no part of the name or the stored path",
       {music + "\\"},
       {"/saved/music.zip"},
       {music},
       {}},
  };
  app_.settings.defaultFolder = "/saved";
  OpenPanel();
  std::string records;
  std::size_t count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.Clear();
    SendMessageA(panel_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(c.dropped)), 0);
    const std::vector<SharePtr> shares = app_.shares.Snapshot();
    ASSERT_EQ(shares.size(), count + c.added.size());
    for (std::size_t k = 0; k < c.added.size(); ++k) {
      const Share& share = *shares[count + k];
      EXPECT_EQ(share.virtualPath, c.added[k]);
      EXPECT_EQ(share.physicalPath, c.physical[k]);
      EXPECT_EQ(share.IsFolder(), c.added[k].ends_with(".zip"));
      EXPECT_EQ(share.flags.load(), 0u);
      records += RecordBytes(c.added[k], c.physical[k], 0);
    }
    count = shares.size();
    EXPECT_EQ(RowCount(), static_cast<int>(count));
    EXPECT_EQ(SharedCfg(), records);
    std::vector<std::string> texts;
    for (const RecordedMessage& message : messages_.Messages()) texts.push_back(message.text);
    EXPECT_EQ(texts, c.messages);
  }
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"a.txt", "photos.zip", "b.txt",
                                                    "photos (2).zip", "music.zip"}));
}

// A dropped drive root or the profile's folder is shared only after a "Yes" ("No" is the
// default); a "No" skips that folder alone and the rest of the drop still goes in. The
// question waits without the share lock, so downloads go on meanwhile.
TEST_F(PanelTest, ADroppedDriveRootOrProfileWaitsForAYesAndANoSkipsOnlyIt) {
  const std::string home = platform::HomeFolder();
  ASSERT_FALSE(home.empty());
  const std::string homeArchive = "/" + home.substr(home.rfind('\\') + 1) + ".zip";
  const std::string driveQuestion =
      "This folder is the root of a drive: everything on the drive would be shared. Share it "
      "anyway?\n\nC:\\";
  const std::string profileQuestion =
      "This folder holds your user profile: all your documents, keys and browser data would be "
      "shared. Share it anyway?\n\n" +
      home;
  struct Answer {
    std::string question;
    int button;
  };
  struct Case {
    const char* name;
    std::vector<std::string> dropped;
    std::vector<Answer> answers;
    std::vector<std::string> added;
  };
  const Case cases[] = {
      {"No to a drive's root between two files",
       {"C:\\d\\a.txt", "C:\\", "C:\\d\\b.txt"},
       {{driveQuestion, IDNO}},
       {"/a.txt", "/b.txt"}},
      {"No to the profile, the file after it goes in",
       {home, "C:\\d\\c.txt"},
       {{profileQuestion, IDNO}},
       {"/c.txt"}},
      {"Yes to both, asked in the drop's order",
       {"C:\\", home},
       {{driveQuestion, IDYES}, {profileQuestion, IDYES}},
       {"/C.zip", homeArchive}},
  };
  OpenPanel();
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PostMessageA(panel_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(c.dropped)), 0);
    for (const Answer& answer : c.answers) {
      const HWND box = QuestionOwnedBy(panel_);
      ASSERT_NE(box, nullptr) << "no question box";
      EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), answer.question);
      EXPECT_EQ(TextOf(box), "Attention");
      EXPECT_EQ(GetWindowLongA(GetDlgItem(box, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
      // A lookup meanwhile gets the lock: the question does not hold up downloads.
      std::atomic<bool> looked{false};
      std::thread lookup([&] {
        std::lock_guard guard(app_.shares.Lock());
        looked = true;
      });
      EXPECT_TRUE(WaitFor([&] { return looked.load(); }, 2000)) << "the share lock is held";
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer.button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, answer.button)));
      lookup.join();
      ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    }
    SendMessageA(panel_, WM_NULL, 0, 0);  // the drop's handler has returned
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(VirtualPaths(), expected);
  }
  EXPECT_EQ(RowCount(), static_cast<int>(expected.size()));
  EXPECT_EQ(SharedCfg(), RecordBytes("/a.txt", "C:\\d\\a.txt", 0) +
                             RecordBytes("/b.txt", "C:\\d\\b.txt", 0) +
                             RecordBytes("/c.txt", "C:\\d\\c.txt", 0) +
                             RecordBytes("/C.zip", "C:\\", 0) + RecordBytes(homeArchive, home, 0));
  EXPECT_TRUE(messages_.Messages().empty());
}

// A drop goes through the share rule: another file of a name gets a numbered path, the
// same file again (as Windows compares names) a message and no row, and a withdrawn share
// gives its path, and its row, to the new file.
TEST_F(PanelTest, DropFollowsTheShareRule) {
  WriteFileBytes("shared.cfg",
                 RecordBytes("/gone.txt", "C:\\old\\gone.txt", kOneShot | kWithdrawn) +
                     RecordBytes("/a.txt", "C:\\d\\a.txt", 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  OpenPanel();
  ASSERT_EQ(FileColumn(), (std::vector<std::string>{"gone.txt", "a.txt"}));
  SendMessageA(panel_, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({"C:\\e\\a.txt", "C:\\D\\A.TXT"})), 0);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"gone.txt", "a.txt", "a (2).txt"}));
  EXPECT_EQ(messages_.Messages(),
            (std::vector<RecordedMessage>{{"This file is already shared, under the virtual "
                                           "path\n\n/a.txt",
                                           "Attention", MessageIcon::Warning}}));
  SendMessageA(panel_, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({"C:\\new\\gone.txt"})), 0);
  // Rows are positions: the withdrawn share's row went with it.
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"a.txt", "a (2).txt", "gone.txt"}));
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/a.txt", "/a (2).txt", "/gone.txt"}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/a.txt", "C:\\d\\a.txt", 0) +
                             RecordBytes("/a (2).txt", "C:\\e\\a.txt", 0) +
                             RecordBytes("/gone.txt", "C:\\new\\gone.txt", 0));
  EXPECT_EQ(messages_.Messages().size(), 1u);
}

// Names the code page cannot hold arrive whole from a drop: the file is shared through its
// short name, which reaches it; a name that no path of the code page reaches is refused by
// name, and nothing of it is stored.
TEST_F(PanelTest, DroppedNamesOutsideTheCodePageAreSharedByTheirShortNames) {
  const std::wstring japanese = MakeWideFile(L"\x540D\x524D.txt");
  const std::wstring emoji = MakeWideFile(L"\xD83D\xDE00.txt");
  const std::string japaneseShort = ShortAnsiPathOf(japanese);
  const std::string emojiShort = ShortAnsiPathOf(emoji);
  if (japaneseShort.empty()) GTEST_SKIP() << "code page " << GetACP() << " holds the names";
  ASSERT_NE(japaneseShort.find('~'), std::string::npos) << japaneseShort;
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  const std::wstring missing = std::wstring(directory) + L"\\\x65E0.txt";  // no file, no short name
  OpenPanel();
  SendMessageA(panel_, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeWideDrop({japanese, missing, emoji})), 0);
  const auto name = [](const std::string& path) { return path.substr(path.rfind('\\') + 1); };
  EXPECT_EQ(VirtualPaths(),
            (std::vector<std::string>{"/" + name(japaneseShort), "/" + name(emojiShort)}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/" + name(japaneseShort), japaneseShort, 0) +
                             RecordBytes("/" + name(emojiShort), emojiShort, 0));
  ASSERT_EQ(messages_.Messages().size(), 1u);
  const RecordedMessage told = messages_.Messages()[0];
  EXPECT_EQ(told.text.rfind(std::string(messages::kNameOutsideCodePage.text) + "\n\n", 0), 0u)
      << told.text;
  EXPECT_EQ(told.text.substr(told.text.size() - 6), "\\?.txt");
}

// The combo box and the links come from one list: hostChoice n is the n-th entry shown,
// whatever order the system lists its adapters in.
TEST_F(PanelTest, HostListAndCopiedLinksFollowOneRule) {
  // A hypervisor's switch and loopback listed before the adapter of the default route.
  app_.services.addresses =
      FakeHost(std::vector<std::string>{"172.22.80.1", "127.0.0.1", "192.168.1.20", "10.8.0.6"},
               std::string("192.168.1.20"));
  const std::vector<std::string> shown = {"192.168.1.20", "172.22.80.1", "10.8.0.6"};
  std::vector<std::string> copied;
  platform::ClipboardOps clipboard{[] { return true; }, [] {},
                                   [&copied](const char* data, std::size_t size) {
                                     copied.emplace_back(data, strnlen(data, size));
                                     return true;
                                   },
                                   [] {}};
  app_.services.clipboard = clipboard;
  app_.shares.AppendShare("C:\\x\\a b.txt", "/a b.txt", 0);
  app_.settings.port = 8080;
  app_.settings.domain = "files.example";
  struct Case {
    std::uint16_t hostChoice;
    int selection;
    std::string link;
  };
  const Case cases[] = {
      {0, 0, "http://files.example:8080/a%20b.txt"},
      {1, 0, "http://192.168.1.20:8080/a%20b.txt"},
      {2, 1, "http://172.22.80.1:8080/a%20b.txt"},
      {3, 2, "http://10.8.0.6:8080/a%20b.txt"},
      // Past the list: nothing selected, and links take the default route's address.
      {4, -1, "http://192.168.1.20:8080/a%20b.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hostChoice);
    app_.settings.hostChoice = c.hostChoice;
    copied.clear();
    OpenPanel();
    std::vector<std::string> entries;
    for (int i = 0; i < SendMessageA(Combo(), CB_GETCOUNT, 0, 0); ++i) {
      char item[64] = {};
      SendMessageA(Combo(), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
      entries.push_back(item);
    }
    EXPECT_EQ(entries, shown);
    EXPECT_EQ(SendMessageA(Combo(), CB_GETCURSEL, 0, 0), c.selection);
    SetRowState(0, LVIS_SELECTED, LVIS_SELECTED);
    Click(panel_, 2017);
    EXPECT_EQ(copied, std::vector<std::string>{c.link});
    if (c.hostChoice > 0 && c.selection >= 0) {
      EXPECT_EQ(c.link, "http://" + entries[c.selection] + ":8080/a%20b.txt");
    }
    PressCloseBox();
  }
}

// The same with this machine's own adapters, as Windows (here Wine) reports them.
TEST_F(PanelTest, HostListOfTheRealAdaptersMatchesTheCopiedLinks) {
  app_.services.addresses = platform::SystemAddressLookup();
  std::vector<std::string> copied;
  platform::ClipboardOps clipboard{[] { return true; }, [] {},
                                   [&copied](const char* data, std::size_t size) {
                                     copied.emplace_back(data, strnlen(data, size));
                                     return true;
                                   },
                                   [] {}};
  app_.services.clipboard = clipboard;
  app_.shares.AppendShare("C:\\x\\a", "/a", 0);
  const std::optional<std::vector<std::string>> listed =
      platform::HostIPv4Addresses(app_.services.addresses);
  ASSERT_TRUE(listed);
  ASSERT_FALSE(listed->empty());
  for (std::size_t n = 1; n <= listed->size(); ++n) {
    SCOPED_TRACE(n);
    app_.settings.hostChoice = static_cast<std::uint16_t>(n);
    copied.clear();
    OpenPanel();
    char item[64] = {};
    ASSERT_EQ(SendMessageA(Combo(), CB_GETCOUNT, 0, 0), static_cast<LRESULT>(listed->size()));
    ASSERT_EQ(SendMessageA(Combo(), CB_GETCURSEL, 0, 0), static_cast<LRESULT>(n - 1));
    SendMessageA(Combo(), CB_GETLBTEXT, n - 1, reinterpret_cast<LPARAM>(item));
    SetRowState(0, LVIS_SELECTED, LVIS_SELECTED);
    Click(panel_, 2017);
    EXPECT_EQ(copied, std::vector<std::string>{"http://" + std::string(item) + "/a"});
    PressCloseBox();
  }
}

TEST_F(PanelTest, CopySelectedRowsToClipboard) {
  std::vector<std::string> copied;
  platform::ClipboardOps clipboard{[] { return true; }, [] {},
                                   [&copied](const char* data, std::size_t size) {
                                     copied.emplace_back(data, strnlen(data, size));
                                     return true;
                                   },
                                   [] {}};
  app_.services.clipboard = clipboard;
  app_.settings.port = 8080;
  app_.settings.domain = "example.org";
  for (const char* name : {"a", "b", "c"}) {
    app_.shares.AppendShare(std::string("C:\\x\\") + name, std::string("/v/") + name, 0);
  }
  OpenPanel();
  SetRowState(2, LVIS_SELECTED, LVIS_SELECTED);
  SetRowState(0, LVIS_SELECTED, LVIS_SELECTED);
  Click(panel_, 2017);
  EXPECT_EQ(
      copied,
      (std::vector<std::string>{"http://example.org:8080/v/a\r\nhttp://example.org:8080/v/c"}));
}

TEST_F(PanelTest, StartWhileOpenChangesNothing) {
  OpenPanel();
  EXPECT_EQ(StartUiThread(app_), 1);
  int panels = 0;
  for (HWND w = FindWindowExA(nullptr, nullptr, kPanelClass, nullptr); w != nullptr;
       w = FindWindowExA(nullptr, w, kPanelClass, nullptr)) {
    ++panels;
  }
  EXPECT_EQ(panels, 1);
  EXPECT_EQ(FindWindowA(kPanelClass, nullptr), panel_);
  EXPECT_TRUE(app_.ui.active.load());
}

TEST_F(PanelTest, ActiveExactlyWhileOpenAndClassesGoneAfterwards) {
  EXPECT_FALSE(app_.ui.active.load());
  OpenPanel();
  EXPECT_TRUE(app_.ui.active.load());
  PressClose();
  EXPECT_FALSE(app_.ui.active.load());
  EXPECT_EQ(FindWindowA(kPanelClass, nullptr), nullptr);
  EXPECT_EQ(FindWindowA(kNewShareClass, nullptr), nullptr);
  WNDCLASSA info{};
  EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), kPanelClass, &info));
  EXPECT_FALSE(GetClassInfoA(GetModuleHandleA(nullptr), kNewShareClass, &info));
}

TEST_F(PanelTest, ReopenShowsCurrentStateAndClearsDirty) {
  app_.shares.AppendShare("C:\\x\\a", "/v/a", 0);
  OpenPanel();
  SetRowState(0, LVIS_FOCUSED, LVIS_FOCUSED);
  Click(panel_, 2015);
  ASSERT_TRUE(app_.ui.sharesDirty.load());
  PressCloseBox();
  EXPECT_TRUE(app_.ui.sharesDirty.load());  // left behind by the close box
  // Shares added in between (as a command-line share would) show up in the fresh panel.
  app_.shares.AppendShare("C:\\x\\b", "/cli/b", 0);
  OpenPanel();
  EXPECT_FALSE(app_.ui.sharesDirty.load());
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"b"}));
  EXPECT_EQ(Cell(0, 1), "/cli/");
}

TEST_F(PanelTest, RestartRightAfterCloseEndsWithBothWindows) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    OpenPanel();
    // The close is posted, so the start may come while the old thread is still ending.
    PostMessageA(panel_, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !app_.ui.active.load(); }));
    ASSERT_EQ(StartUiThread(app_), 1);
    ASSERT_TRUE(WaitFor([&] {
      HWND newShare = FindWindowA(kNewShareClass, nullptr);
      return newShare != nullptr && !IsWindowVisible(newShare) && FindWindowA(kPanelClass, nullptr);
    }));
    panel_ = FindWindowA(kPanelClass, nullptr);
    WNDCLASSA info{};
    EXPECT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), kPanelClass, &info));
    EXPECT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), kNewShareClass, &info));
    EXPECT_EQ(ChildrenOf(panel_).size(), 20u);
    PressCloseBox();
  }
}

// Records each message with whether another thread could look a share up while it was
// shown, i.e. whether the share lock was free. A lookup that does not finish within a
// second means the lock was held; it finishes once the lock is released.
class LockWatchingRecorder {
 public:
  // Takes the messages shown through `into` while it lives.
  LockWatchingRecorder(platform::MessageSink& into, ShareRegistry& shares)
      : into_(into), before_(into), shares_(shares) {
    into_ = platform::MessageSinkOf(
        [this](const std::string& text, const std::string&, platform::MessageIcon) {
          auto done = std::make_shared<std::atomic<bool>>(false);
          lookups_.emplace_back([this, done] {
            shares_.FindShare("/any");
            done->store(true);
          });
          const bool free = WaitFor([&] { return done->load(); }, 1000);
          seen.push_back({text, free});
        });
  }
  ~LockWatchingRecorder() {
    into_ = before_;
    for (std::thread& lookup : lookups_) lookup.join();
  }
  std::vector<std::pair<std::string, bool>> seen;  // text, lock free while shown

 private:
  platform::MessageSink& into_;
  platform::MessageSink before_;
  ShareRegistry& shares_;
  std::vector<std::thread> lookups_;
};

TEST_F(PanelTest, MessagesAreShownOnlyAfterTheShareLockIsReleased) {
  const std::string port = "Requires restart the server to update the port";
  const std::string badPath = "Incorrect physical path to file";
  const std::string cantWrite = "Can't write to file shared.cfg, something wrong";
  struct Case {
    const char* name;
    std::function<void()> act;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"port notice at Close",
       [&] {
         SetText(panel_, 2003, "8081");
         PressClose();
       },
       {port}},
      {"drop: a name without a folder, then a failed append",
       [&] {
         app_.storedFiles.faults = tests::FailWritesAfter(0);
         SendMessageA(panel_, WM_DROPFILES,
                      reinterpret_cast<WPARAM>(MakeDrop({"nofolder.txt", "C:\\d\\kept.txt"})), 0);
         app_.storedFiles.faults = {};
         PressCloseBox();
       },
       {badPath, cantWrite}},
      {"port notice, then a failed rewrite after a Delete",
       [&] {
         SetRowState(0, LVIS_FOCUSED, LVIS_FOCUSED);
         Click(panel_, 2015);
         SetText(panel_, 2003, "8082");
         // The settings are written, the shares not.
         app_.storedFiles.faults = tests::FailWritesAfter(1);
         PressClose();
         app_.storedFiles.faults = {};
       },
       {port, cantWrite}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app_.settings.port = 80;
    if (app_.shares.Count() == 0) app_.shares.AppendShare("C:\\x\\old", "/v/old", 0);
    LockWatchingRecorder recorder(app_.services.messages, app_.shares);
    OpenPanel();
    c.act();
    std::vector<std::pair<std::string, bool>> expected;
    for (const std::string& text : c.expected) expected.push_back({text, true});
    EXPECT_EQ(recorder.seen, expected);
  }
}

TEST_F(PanelTest, StopEndsThePanelEvenInsideAMessageBoxAndSavesNothing) {
  app_.services.messages = platform::SystemMessageSink();  // real message boxes
  OpenPanel();
  SetText(panel_, 2003, "8083");
  SetText(panel_, 2010, "typed.example");
  // "Close" from the user: the port notice opens and waits for a click that never comes.
  PostMessageA(panel_, WM_COMMAND, MAKEWPARAM(2001, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(panel_, 2001)));
  ASSERT_TRUE(WaitFor([] { return FindWindowA("#32770", "Attention") != nullptr; }));
  // Downloads are not held up by the open notice.
  std::atomic<bool> looked{false};
  std::thread lookup([&] {
    app_.shares.FindShare("/any");
    looked.store(true);
  });
  EXPECT_TRUE(WaitFor([&] { return looked.load(); }));
  lookup.join();
  const auto started = std::chrono::steady_clock::now();
  EndUiThread(app_);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(app_.ui.thread, nullptr);
  EXPECT_FALSE(app_.ui.active.load());
  EXPECT_EQ(FindWindowA("#32770", "Attention"), nullptr);
  EXPECT_EQ(FindWindowA(kPanelClass, nullptr), nullptr);
  EXPECT_FALSE(Exists("common.cfg"));  // nothing saved, as with the close box
  EXPECT_EQ(app_.settings.port, 80);
  EXPECT_EQ(app_.settings.domain, "");
  panel_ = nullptr;
}

TEST_F(PanelTest, StopEndsAnIdlePanel) {
  OpenPanel();
  SetText(panel_, 2003, "8084");
  EndUiThread(app_);
  EXPECT_EQ(app_.ui.thread, nullptr);
  EXPECT_EQ(FindWindowA(kPanelClass, nullptr), nullptr);
  EXPECT_EQ(FindWindowA(kNewShareClass, nullptr), nullptr);
  EXPECT_FALSE(Exists("common.cfg"));
  EXPECT_TRUE(messages_.Messages().empty());
  panel_ = nullptr;
}

}  // namespace
}  // namespace qc::tests
