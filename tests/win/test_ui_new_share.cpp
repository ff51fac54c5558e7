// The New share window, the open-file and folder dialogs it shows, and the panel's text rules.
#include <ctime>
#include <filesystem>
#include <optional>

#include "platform/codepage.h"
#include "shares/share_limits.h"
#include "win/test_ui_fixture.h"

namespace qc::tests {
namespace {

using platform::MessageIcon;

class NewShareTest : public PanelTest {
 protected:
  // "Add" in the panel: the New share window shows with both edits emptied.
  void PressAdd() {
    Click(panel_, 2014);
    ASSERT_TRUE(IsWindowVisible(newShare_));
    ASSERT_FALSE(IsWindowVisible(panel_));
  }
  void Fill(const std::string& physical, const std::string& virtualPath) {
    SetText(newShare_, 2003, physical);
    SetText(newShare_, 2010, virtualPath);
  }
  // A Delete in this panel opening, then a New share with an empty virtual path.
  void DeleteFirstRowThenAddNewShare(const std::string& physical) {
    SetRowState(0, LVIS_FOCUSED, LVIS_FOCUSED);
    Click(panel_, 2015);
    PressAdd();
    Fill(physical, "");
    Click(newShare_, 2015);
  }
  void ExpectBackAtPanel() {
    EXPECT_FALSE(IsWindowVisible(newShare_));
    EXPECT_TRUE(IsWindowVisible(panel_));
  }
};

TEST_F(NewShareTest, AddEmptiesBothEditsAndSwapsWindows) {
  OpenPanel();
  EXPECT_EQ(Text(newShare_, 2010), "/");
  SetText(newShare_, 2003, "C:\\left\\over.txt");
  PressAdd();
  EXPECT_EQ(Text(newShare_, 2003), "");
  EXPECT_EQ(Text(newShare_, 2010), "");
}

// The defaults for new shares fill the limit fields in for the user to keep or change; the
// end time falls on the whole minute after the lifetime from now.
TEST_F(NewShareTest, AddFillsInTheDefaultsForNewShares) {
  struct Case {
    const char* name;
    ShareDefaults defaults;
    std::string downloads;
    bool end;
  };
  const Case cases[] = {
      {"none", {}, "", false},
      {"both", {3, 7 * 24 * 3600}, "3", true},
      {"a lifetime alone", {0, 90 * 60}, "", true},
  };
  OpenPanel();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app_.shareDefaults = c.defaults;
    const auto before = static_cast<std::int64_t>(std::time(nullptr));
    PressAdd();
    EXPECT_EQ(Text(newShare_, 2021), c.downloads);
    const std::string end = Text(newShare_, 2023);
    if (c.end) {
      const std::optional<LocalDateTime> local = ParseLocalDateTime(end);
      ASSERT_TRUE(local) << end;
      const std::int64_t until = UnixTimeOfLocal(*local).value_or(0);
      EXPECT_GE(until, before + c.defaults.lifetime);
      EXPECT_LE(until, before + c.defaults.lifetime + 120);
      EXPECT_EQ(until % 60, 0);
    } else {
      EXPECT_EQ(end, "");
    }
    Click(newShare_, 2001);  // Cancel
    ExpectBackAtPanel();
  }
}

TEST_F(NewShareTest, OkAddsShareRowAndRecord) {
  struct Case {
    const char* name;
    std::string physical;
    std::string typedVirtual;
    std::string virtualPath;
    std::string fileColumn, folderColumn;
  };
  const Case cases[] = {
      {"typed virtual path", "C:\\docs\\a.txt", "/files/x.txt", "/files/x.txt", "x.txt", "/files/"},
      // Not the default folder: "/" and the file name.
      {"empty virtual path", "C:\\docs\\b.txt", "", "/b.txt", "b.txt", "/"},
      {"no backslash", "relative.txt", "", "/relative.txt", "relative.txt", "/"},
      {"taken as typed", "C:\\docs\\c.txt", "plain", "plain", "error, virtual path is invalid", ""},
  };
  app_.settings.flags = kNewSharesOneShot;
  app_.settings.defaultFolder = "/default";
  OpenPanel();
  std::string records;
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PressAdd();
    Fill(c.physical, c.typedVirtual);
    Click(newShare_, 2015);
    ExpectBackAtPanel();
    ASSERT_EQ(RowCount(), row + 1);
    EXPECT_EQ(Cell(row, 0), c.fileColumn);
    EXPECT_EQ(Cell(row, 1), c.folderColumn);
    SharePtr share = app_.shares.ShareAt(row);
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(share->virtualPath, c.virtualPath);
    EXPECT_EQ(share->physicalPath, c.physical);
    EXPECT_EQ(share->flags.load(), 0u);
    records += RecordBytes(c.virtualPath, c.physical, 0);
    EXPECT_EQ(SharedCfg(), records);
    ++row;
  }
  EXPECT_FALSE(Exists("common.cfg"));
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(NewShareTest, EmptyPhysicalPathIsRefused) {
  OpenPanel();
  PressAdd();
  Fill("", "/kept/");
  Click(newShare_, 2015);
  EXPECT_EQ(messages_.Messages(), (std::vector<RecordedMessage>{{"Please, enter the physical path",
                                                                 "error", MessageIcon::Error}}));
  EXPECT_TRUE(IsWindowVisible(newShare_));
  EXPECT_FALSE(IsWindowVisible(panel_));
  EXPECT_EQ(Text(newShare_, 2010), "/kept/");
  EXPECT_EQ(app_.shares.Count(), 0u);
  EXPECT_FALSE(Exists("shared.cfg"));
}

// A folder is shared as one archive, "/name.zip" unless a path is typed; its record holds
// the folder's path as it holds a file's.
TEST_F(NewShareTest, AFolderIsSharedAsItsArchive) {
  const std::string folder = platform::CurrentDirectory() + "\\photos";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  const std::string other = platform::CurrentDirectory() + "\\notes";
  ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr));
  OpenPanel();
  PressAdd();
  Fill(folder + "\\", "");
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  PressAdd();
  Fill(other, "/pub/all notes.zip");
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  EXPECT_TRUE(messages_.Messages().empty());
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"photos.zip", "all notes.zip"}));
  ASSERT_EQ(app_.shares.Count(), 2u);
  EXPECT_TRUE(app_.shares.ShareAt(0)->IsFolder());
  EXPECT_TRUE(app_.shares.ShareAt(1)->IsFolder());
  EXPECT_EQ(SharedCfg(),
            RecordBytes("/photos.zip", folder, 0) + RecordBytes("/pub/all notes.zip", other, 0));
}

// A drive's root and the folder of the user's profile are shared only after a "Yes" to a
// question that says what would be shared; "No" (the default) adds nothing and leaves the
// window for a correction.
TEST_F(NewShareTest, ADriveRootOrTheProfileWaitsForAYes) {
  const std::string home = platform::HomeFolder();
  ASSERT_FALSE(home.empty());
  struct Case {
    std::string folder;
    int answer;
    std::string question;
  };
  const Case cases[] = {
      {"C:\\", IDNO,
       "This folder is the root of a drive: everything on the drive would be shared. Share it "
       "anyway?\n\nC:\\"},
      {home, IDNO,
       "This folder holds your user profile: all your documents, keys and browser data would "
       "be shared. Share it anyway?\n\n" +
           home},
      {"C:\\", IDYES, ""},
  };
  OpenPanel();
  PressAdd();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + (c.answer == IDYES ? " yes" : " no"));
    Fill(c.folder, "");
    PostMessageA(newShare_, WM_COMMAND, MAKEWPARAM(2015, BN_CLICKED), 0);
    const HWND box = QuestionOwnedBy(newShare_);
    ASSERT_NE(box, nullptr) << "no question box";
    if (!c.question.empty()) {
      EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), c.question);
    }
    EXPECT_EQ(TextOf(box), "Attention");
    // The default button is "No".
    EXPECT_EQ(GetWindowLongA(GetDlgItem(box, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(c.answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, c.answer)));
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    SendMessageA(newShare_, WM_NULL, 0, 0);  // the click's handler has returned
    if (c.answer == IDNO) {
      EXPECT_TRUE(IsWindowVisible(newShare_));
      EXPECT_EQ(app_.shares.Count(), 0u);
      EXPECT_FALSE(Exists("shared.cfg"));
    }
  }
  ExpectBackAtPanel();
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/C.zip"}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/C.zip", "C:\\", 0));
  EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(NewShareTest, CancelAndCloseBoxAddNothing) {
  OpenPanel();
  for (bool closeBox : {false, true}) {
    SCOPED_TRACE(closeBox);
    PressAdd();
    Fill("C:\\docs\\a.txt", "/a.txt");
    if (closeBox) {
      SendMessageA(newShare_, WM_CLOSE, 0, 0);
    } else {
      Click(newShare_, 2001);
    }
    ExpectBackAtPanel();
    EXPECT_TRUE(IsWindow(newShare_));
    EXPECT_EQ(Text(newShare_, 2003), "C:\\docs\\a.txt");  // kept until the next "Add"
    EXPECT_EQ(RowCount(), 0);
    EXPECT_EQ(app_.shares.Count(), 0u);
  }
  EXPECT_FALSE(Exists("shared.cfg"));
}

TEST_F(NewShareTest, AfterDeleteTheShareReachesTheFileOnlyAtClose) {
  WriteFileBytes("shared.cfg",
                 RecordBytes("/v/a", "C:\\x\\a", 0) + RecordBytes("/v/b", "C:\\x\\b", 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  const std::string before = SharedCfg();
  OpenPanel();
  DeleteFirstRowThenAddNewShare("C:\\new\\n.txt");
  EXPECT_EQ(SharedCfg(), before);
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"b", "n.txt"}));
  PressClose();
  EXPECT_EQ(SharedCfg(),
            RecordBytes("/v/b", "C:\\x\\b", 0) + RecordBytes("/n.txt", "C:\\new\\n.txt", 0));
}

TEST_F(NewShareTest, AfterDeleteAndCloseBoxTheShareIsLostFromTheFile) {
  WriteFileBytes("shared.cfg", RecordBytes("/v/a", "C:\\x\\a", 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  const std::string before = SharedCfg();
  OpenPanel();
  DeleteFirstRowThenAddNewShare("C:\\new\\n.txt");
  PressCloseBox();
  EXPECT_EQ(SharedCfg(), before);
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/n.txt"}));
}

// "OK" goes through the share rule: a typed path that leads to another file is refused and
// the window stays for another; left empty, the path is made and numbered; the same file
// again (as Windows compares names) is told where it is shared, and nothing is added.
TEST_F(NewShareTest, OkFollowsTheShareRule) {
  WriteFileBytes("shared.cfg", RecordBytes("/a.txt", "C:\\d\\a.txt", 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  const std::string before = SharedCfg();
  OpenPanel();
  PressAdd();
  Fill("C:\\e\\a.txt", "/a.txt");
  Click(newShare_, 2015);
  EXPECT_EQ(messages_.Messages(),
            (std::vector<RecordedMessage>{
                {"This virtual path already leads to another file; please choose another "
                 "one\n\n/a.txt",
                 "Attention", MessageIcon::Warning}}));
  EXPECT_TRUE(IsWindowVisible(newShare_));
  EXPECT_EQ(Text(newShare_, 2010), "/a.txt");
  EXPECT_EQ(RowCount(), 1);
  EXPECT_EQ(SharedCfg(), before);

  Fill("C:\\e\\a.txt", "");
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  EXPECT_EQ(FileColumn(), (std::vector<std::string>{"a.txt", "a (2).txt"}));
  EXPECT_EQ(SharedCfg(), before + RecordBytes("/a (2).txt", "C:\\e\\a.txt", 0));

  messages_.Clear();
  PressAdd();
  Fill("C:\\D\\A.txt", "/elsewhere.txt");
  Click(newShare_, 2015);
  EXPECT_EQ(messages_.Messages(),
            (std::vector<RecordedMessage>{{"This file is already shared, under the virtual "
                                           "path\n\n/a.txt",
                                           "Attention", MessageIcon::Warning}}));
  ExpectBackAtPanel();
  EXPECT_EQ(RowCount(), 2);
  EXPECT_EQ(app_.shares.Count(), 2u);
}

// A path pasted into the physical-file edit keeps the characters the code page lacks: the
// file is shared by its short name; a name nothing reaches is refused and the window stays.
TEST_F(NewShareTest, APastedNameOutsideTheCodePageIsSharedByItsShortName) {
  const std::wstring japanese = MakeWideFile(L"\x540D\x524D.txt");
  const std::string shortPath = ShortAnsiPathOf(japanese);
  if (shortPath.empty()) GTEST_SKIP() << "code page " << GetACP() << " holds the name";
  OpenPanel();
  PressAdd();
  const std::wstring missing = japanese.substr(0, japanese.rfind(L'\\') + 1) + L"\x65E0.txt";
  SendMessageW(GetDlgItem(newShare_, 2003), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(missing.c_str()));
  Click(newShare_, 2015);
  ASSERT_EQ(messages_.Messages().size(), 1u);
  EXPECT_EQ(messages_.Messages()[0].caption, "Error");
  EXPECT_TRUE(IsWindowVisible(newShare_));
  EXPECT_EQ(app_.shares.Count(), 0u);

  SendMessageW(GetDlgItem(newShare_, 2003), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(japanese.c_str()));
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  const std::string file = shortPath.substr(shortPath.rfind('\\') + 1);
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/" + file}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/" + file, shortPath, 0));
}

// ---- The real open-file dialog ----------------------------------------------------------

struct FoundDialog {
  HWND owner;
  HWND dialog;
};

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM parameter) {
  auto* found = reinterpret_cast<FoundDialog*>(parameter);
  if (ClassOf(window) == "#32770" && GetWindow(window, GW_OWNER) == found->owner &&
      IsWindowVisible(window)) {
    found->dialog = window;
    return FALSE;
  }
  return TRUE;
}

HWND OpenFileDialogOf(HWND owner) {
  FoundDialog found{owner, nullptr};
  EnumWindows(FindOwnedDialog, reinterpret_cast<LPARAM>(&found));
  return found.dialog;
}

class OpenFileDialogTest : public NewShareTest {
 protected:
  // Presses "..." and answers the dialog as a user would: the file name typed into its
  // name field (control 1148), then OK; or Cancel when `path` is empty.
  void Browse(const std::string& path) {
    BrowseTyping(path.empty(), [&path](HWND name) {
      SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    });
  }
  // The same with a name typed in UTF-16, as the user's keyboard types it.
  void Browse(const std::wstring& path) {
    BrowseTyping(false, [&path](HWND name) {
      SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    });
  }

 private:
  template <typename Type>
  void BrowseTyping(bool cancel, Type type) {
    PostMessageA(newShare_, WM_COMMAND, MAKEWPARAM(2014, BN_CLICKED), 0);
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (dialog = OpenFileDialogOf(newShare_)) != nullptr; }))
        << "no open-file dialog owned by the New share window";
    // The dialog also changes the current directory while it browses.
    if (cancel) {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      HWND name = GetDlgItem(dialog, 1148);
      ASSERT_NE(name, nullptr);
      type(name);
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    SendMessageA(newShare_, WM_NULL, 0, 0);  // the click's handler has returned
  }
};

TEST_F(OpenFileDialogTest, ChosenFilesFillTheEditsAndTheShareIsStoredInTheStartupDirectory) {
  const std::filesystem::path docs = directory_.path() / "docs";
  std::filesystem::create_directory(docs);
  const std::string first = (docs / "a.txt").string();
  const std::string second = (docs / "b.txt").string();
  WriteFileBytes(first, "a");
  WriteFileBytes(second, "b");
  OpenPanel();
  PressAdd();
  Browse(first);
  EXPECT_EQ(Text(newShare_, 2003), first);
  EXPECT_EQ(Text(newShare_, 2010), "/a.txt");

  SetText(newShare_, 2010, "/files/");
  Browse(first);
  EXPECT_EQ(Text(newShare_, 2010), "/files/a.txt");
  Browse(second);
  EXPECT_EQ(Text(newShare_, 2003), second);
  EXPECT_EQ(Text(newShare_, 2010), "/files/a.txt");

  // Cancelled: neither edit changes.
  Browse("");
  EXPECT_EQ(Text(newShare_, 2003), second);
  EXPECT_EQ(Text(newShare_, 2010), "/files/a.txt");

  // Where a dialog may leave the current directory: the files do not follow it.
  std::filesystem::current_path(docs);
  Click(newShare_, 2015);
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/files/a.txt"}));
  // Written beside the server's start-up directory, not where the dialog browsed.
  EXPECT_EQ(SharedCfg(), RecordBytes("/files/a.txt", second, 0));
  EXPECT_FALSE(std::filesystem::exists(docs / "shared.cfg"));
}

// The dialog's ANSI form hands back "??.txt" for a name the code page cannot hold, a path
// of no file; the wide one hands back the name, shared by its short name.
TEST_F(OpenFileDialogTest, AChosenNameOutsideTheCodePageIsTakenByItsShortName) {
  const std::wstring japanese = MakeWideFile(L"\x540D\x524D.txt");
  const std::string shortPath = ShortAnsiPathOf(japanese);
  if (shortPath.empty()) GTEST_SKIP() << "code page " << GetACP() << " holds the name";
  const std::string file = shortPath.substr(shortPath.rfind('\\') + 1);
  OpenPanel();
  PressAdd();
  Browse(japanese);
  EXPECT_EQ(Text(newShare_, 2003), shortPath);
  EXPECT_EQ(Text(newShare_, 2010), "/" + file);
  Click(newShare_, 2015);
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/" + file}));
  EXPECT_EQ(SharedCfg(), RecordBytes("/" + file, shortPath, 0));
  EXPECT_TRUE(messages_.Messages().empty());
}

// ---- The real folder dialog -------------------------------------------------------------

class FolderDialogTest : public OpenFileDialogTest {
 protected:
  void SetUp() override {
    OpenFileDialogTest::SetUp();
    for (const char* name : {"photos", "notes", "other", "other\\photos"}) {
      std::filesystem::create_directory(directory_.path() / name);
    }
  }
  std::string Folder(const char* name) { return (directory_.path() / name).string(); }

  // Presses "Folder..." and answers the folder dialog as a user would: the folder typed
  // into its name field (control 1152), then Open; or Cancel when `folder` is empty.
  void ChooseFolder(const std::wstring& folder) {
    HWND dialog = OpenFolderDialog();
    ASSERT_NE(dialog, nullptr);
    if (folder.empty()) {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      HWND name = GetDlgItem(dialog, 1152);
      ASSERT_NE(name, nullptr);
      SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(folder.c_str()));
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    SendMessageA(newShare_, WM_NULL, 0, 0);  // the click's handler has returned
  }
  void ChooseFolder(const std::string& folder) { ChooseFolder(platform::AnsiToWide(folder)); }

  // The same in the older folder browser: the folder selected as its owner's program
  // selects one (BFFM_SETSELECTION), then OK.
  void ChooseInFolderBrowser(const std::string& folder) {
    HWND dialog = OpenFolderDialog();
    ASSERT_NE(dialog, nullptr);
    const std::wstring wide = platform::AnsiToWide(folder);
    const std::wstring name = wide.substr(wide.find_last_of(L'\\') + 1);
    // The browser fills its tree after it shows, and then selects its root: a selection
    // made before that is lost, so it is made until the tree shows it.
    ASSERT_TRUE(WaitFor([&] {
      SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(wide.c_str()));
      return SelectedInTree(dialog) == name;
    })) << "the folder browser did not select "
        << folder;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog); }));
    SendMessageA(newShare_, WM_NULL, 0, 0);
  }

  // Answers the question a drive's root or the profile raises at "OK".
  void PressOkAndAnswer(int button) {
    PostMessageA(newShare_, WM_COMMAND, MAKEWPARAM(2015, BN_CLICKED), 0);
    const HWND box = QuestionOwnedBy(newShare_);
    ASSERT_NE(box, nullptr) << "no question box";
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    SendMessageA(newShare_, WM_NULL, 0, 0);
  }

 private:
  // The text of the tree's selected item in the folder browser (same process: the item's
  // text is read straight into this buffer).
  static std::wstring SelectedInTree(HWND dialog) {
    const HWND tree = FindDescendant(dialog, L"SysTreeView32");
    if (tree == nullptr) return {};
    auto* const item =
        reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (item == nullptr) return {};
    wchar_t text[MAX_PATH] = {};
    TVITEMW request{};
    request.mask = TVIF_TEXT;
    request.hItem = item;
    request.pszText = text;
    request.cchTextMax = MAX_PATH;
    if (SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&request)) == FALSE) return {};
    return text;
  }
  static HWND FindDescendant(HWND parent, const wchar_t* className) {
    struct Search {
      const wchar_t* className;
      HWND found;
    } search{className, nullptr};
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM data) -> BOOL {
          auto* const s = reinterpret_cast<Search*>(data);
          wchar_t name[64] = {};
          GetClassNameW(child, name, 64);
          if (lstrcmpiW(name, s->className) != 0) return TRUE;
          s->found = child;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  HWND OpenFolderDialog() {
    PostMessageA(newShare_, WM_COMMAND, MAKEWPARAM(2024, BN_CLICKED), 0);
    HWND dialog = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (dialog = OpenFileDialogOf(newShare_)) != nullptr; }))
        << "no folder dialog owned by the New share window";
    return dialog;
  }
};

// The chosen folder fills the physical path and its archive's name as a typed folder is
// named: "/name.zip" into an empty edit, after a typed folder ending in "/"; a name the
// dialog filled in follows the next choice, a typed one stays.
TEST_F(FolderDialogTest, AChosenFolderFillsBothEditsWithItsArchive) {
  struct Step {
    const char* name;
    std::optional<std::string> typed;  // typed into the virtual-file edit first
    std::string folder;                // chosen; empty: Cancel
    std::string physical;
    std::string virtualPath;
  };
  const Step steps[] = {
      {"empty edit", "", Folder("photos"), Folder("photos"), "/photos.zip"},
      {"the filled-in name follows", std::nullopt, Folder("notes"), Folder("notes"), "/notes.zip"},
      {"after a typed folder", "/pub/", Folder("photos"), Folder("photos"), "/pub/photos.zip"},
      {"and follows there too", std::nullopt, Folder("notes"), Folder("notes"), "/pub/notes.zip"},
      {"cancelled: nothing changes", std::nullopt, "", Folder("notes"), "/pub/notes.zip"},
      {"a typed name stays", "/mine.zip", Folder("photos"), Folder("photos"), "/mine.zip"},
      {"a drive's root by its letter", "", "C:\\", "C:\\", "/C.zip"},
  };
  OpenPanel();
  PressAdd();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.typed) SetText(newShare_, 2010, *step.typed);
    ChooseFolder(step.folder);
    EXPECT_EQ(Text(newShare_, 2003), step.physical);
    EXPECT_EQ(Text(newShare_, 2010), step.virtualPath);
  }
  // A file chosen next takes the place of the filled-in archive's name, not of a typed one.
  const std::string file = Folder("notes") + "\\n.txt";
  WriteFileBytes(file, "n");
  SetText(newShare_, 2010, "/pub/");
  ChooseFolder(Folder("photos"));
  Browse(file);
  EXPECT_EQ(Text(newShare_, 2003), file);
  EXPECT_EQ(Text(newShare_, 2010), "/pub/n.txt");
  EXPECT_EQ(app_.shares.Count(), 0u);
  EXPECT_TRUE(messages_.Messages().empty());
}

// "OK" after a choice shares the folder as a typed one is shared: a filled-in name that
// another folder's share holds is numbered, as an empty edit's would be (a typed one is
// refused); a drive's root waits for a "Yes".
TEST_F(FolderDialogTest, AChosenFolderIsSharedUnderTheRulesOfATypedOne) {
  WriteFileBytes("shared.cfg", RecordBytes("/photos.zip", Folder("other\\photos"), 0));
  ASSERT_EQ(LoadShares(app_.storedFiles, app_.shares), 1);
  const std::string before = SharedCfg();
  OpenPanel();
  PressAdd();
  ChooseFolder(Folder("photos"));
  EXPECT_EQ(Text(newShare_, 2010), "/photos.zip");
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/photos.zip", "/photos (2).zip"}));
  EXPECT_TRUE(app_.shares.ShareAt(1)->IsFolder());

  PressAdd();
  ChooseFolder(std::string("C:\\"));
  PressOkAndAnswer(IDNO);
  EXPECT_TRUE(IsWindowVisible(newShare_));
  EXPECT_EQ(app_.shares.Count(), 2u);
  PressOkAndAnswer(IDYES);
  ExpectBackAtPanel();
  EXPECT_EQ(VirtualPaths(), (std::vector<std::string>{"/photos.zip", "/photos (2).zip", "/C.zip"}));
  EXPECT_EQ(SharedCfg(), before + RecordBytes("/photos (2).zip", Folder("photos"), 0) +
                             RecordBytes("/C.zip", "C:\\", 0));
  EXPECT_TRUE(messages_.Messages().empty());
}

// Where the item dialog cannot be made, the older folder browser chooses the folder, with
// the same result.
TEST_F(FolderDialogTest, TheFolderBrowserStandsInForTheItemDialog) {
  app_.panel.folderBrowserOnly = true;
  OpenPanel();
  PressAdd();
  ChooseInFolderBrowser(Folder("notes"));
  EXPECT_EQ(Text(newShare_, 2003), Folder("notes"));
  EXPECT_EQ(Text(newShare_, 2010), "/notes.zip");
  Click(newShare_, 2015);
  ExpectBackAtPanel();
  EXPECT_EQ(SharedCfg(), RecordBytes("/notes.zip", Folder("notes"), 0));
}

// A folder name the code page cannot hold is taken by its short name, as a chosen file is.
TEST_F(FolderDialogTest, AChosenFolderOutsideTheCodePageIsTakenByItsShortName) {
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  const std::wstring japanese = std::wstring(directory) + L"\\\x5199\x771F";
  ASSERT_TRUE(CreateDirectoryW(japanese.c_str(), nullptr));
  const std::string shortPath = ShortAnsiPathOf(japanese);
  if (shortPath.empty()) GTEST_SKIP() << "code page " << GetACP() << " holds the name";
  const std::string archive = "/" + shortPath.substr(shortPath.rfind('\\') + 1) + ".zip";
  OpenPanel();
  PressAdd();
  ChooseFolder(japanese);
  EXPECT_EQ(Text(newShare_, 2003), shortPath);
  EXPECT_EQ(Text(newShare_, 2010), archive);
  Click(newShare_, 2015);
  EXPECT_EQ(SharedCfg(), RecordBytes(archive, shortPath, 0));
  EXPECT_TRUE(messages_.Messages().empty());
}

}  // namespace
}  // namespace qc::tests
