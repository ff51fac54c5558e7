// Drives the real control panel in-process: a test Application in a fresh temporary
// directory, its panel thread started as the server starts it, and the two windows found
// by class and worked from the test thread with the messages a user's clicks produce.
#pragma once
#include "platform/os_windows.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/application.h"
#include "platform/clipboard.h"
#include "platform/directory.h"
#include "platform/host_addresses.h"
#include "shares/settings_file.h"
#include "shares/share_file.h"
#include "ui/ui_thread.h"
#include "unit/clipboard_fakes.h"
#include "unit/test_support.h"

namespace qc::tests {

inline constexpr char kPanelClass[] = "WndClassQuillcastMain";
inline constexpr char kNewShareClass[] = "WndClassQuillcastNewFile";

// Three host addresses, so that host choices 1..3 name something and 4 does not.
inline const std::vector<std::string> kTestAddresses = {"192.168.1.10", "10.0.0.5", "172.16.0.1"};

inline std::string TextOf(HWND window) {
  char buffer[1024] = {};
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

inline std::string ClassOf(HWND window) {
  char buffer[256] = {};
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

// The real clipboard's CF_TEXT, waiting a moment for another thread to let it go.
inline std::string ClipboardText() {
  std::string text;
  for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(20);
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const char* chars = static_cast<const char*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// The visible message box (class "#32770") owned by `owner`, once it is up; null when none
// came. The question a drive's root or the whole profile raises, owned by the New share
// window or by the panel.
inline HWND QuestionOwnedBy(HWND owner) {
  std::pair<HWND, HWND> found{owner, nullptr};
  const auto ownedBox = [](HWND window, LPARAM parameter) -> BOOL {
    auto* search = reinterpret_cast<std::pair<HWND, HWND>*>(parameter);
    if (ClassOf(window) == "#32770" && GetWindow(window, GW_OWNER) == search->first &&
        IsWindowVisible(window)) {
      search->second = window;
      return FALSE;
    }
    return TRUE;
  };
  WaitFor([&] {
    found.second = nullptr;
    EnumWindows(ownedBox, reinterpret_cast<LPARAM>(&found));
    return found.second != nullptr;
  });
  return found.second;
}

// A real drop handle: DROPFILES followed by the ANSI names, each terminated, then one
// more terminator. The window that receives it releases it (DragFinish).
inline HDROP MakeDrop(const std::vector<std::string>& files) {
  std::size_t size = sizeof(DROPFILES) + 1;
  for (const std::string& file : files) size += file.size() + 1;
  HGLOBAL memory = GlobalAlloc(GHND, size);
  auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = FALSE;
  char* names = reinterpret_cast<char*>(header) + sizeof(DROPFILES);
  for (const std::string& file : files) {
    memcpy(names, file.c_str(), file.size() + 1);
    names += file.size() + 1;
  }
  *names = '\0';
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

// The same with UTF-16 names, as Explorer drops them: names the code page cannot hold
// arrive whole.
inline HDROP MakeWideDrop(const std::vector<std::wstring>& files) {
  std::size_t size = sizeof(DROPFILES) + sizeof(wchar_t);
  for (const std::wstring& file : files) size += (file.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GHND, size);
  auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  auto* names = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(header) + sizeof(DROPFILES));
  for (const std::wstring& file : files) {
    memcpy(names, file.c_str(), (file.size() + 1) * sizeof(wchar_t));
    names += file.size() + 1;
  }
  *names = L'\0';
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

// A file made under a UTF-16 name in the current directory, and its full path.
inline std::wstring MakeWideFile(const std::wstring& name) {
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  const std::wstring path = std::wstring(directory) + L"\\" + name;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return path;
}

// What a path of the ANSI code page shows of `path` when it cannot hold it; empty when it
// can (a test of names outside the code page has nothing to show then).
inline std::string ShortAnsiPathOf(const std::wstring& path) {
  BOOL usedDefault = FALSE;
  char exact[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, exact, MAX_PATH, nullptr,
                      &usedDefault);
  if (!usedDefault) return std::string();
  wchar_t shortPath[MAX_PATH] = {};
  GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
  char ansi[MAX_PATH] = {};
  WideCharToMultiByte(CP_ACP, 0, shortPath, -1, ansi, MAX_PATH, nullptr, nullptr);
  return ansi;
}

// The top-level window of `windowClass` that this process made: another process's (a test
// binary still ending, under Wine) must not stand in for this run's. Once, under load, the
// panel was not found beside a New share window that had been.
inline HWND OwnWindow(const char* windowClass) {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, windowClass, nullptr)) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) return window;
  }
  return nullptr;
}

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.panel = ControlPanelThread();
    app_.storedFiles = StoredFiles::In(platform::CurrentDirectory());
    app_.settings.port = kDefaultPort;
    app_.services.messages = messages_.Sink();
    app_.services.addresses = FakeHost(kTestAddresses);
  }

  void TearDown() override {
    if (panel_ != nullptr && IsWindow(panel_)) SendMessageA(panel_, WM_CLOSE, 0, 0);
    WaitForUiThread(app_);
  }

  // Starts the panel thread and waits until both windows exist and the New share window
  // has been hidden, then until the thread serves sent messages.
  void OpenPanel() {
    ASSERT_EQ(StartUiThread(app_), 1);
    ASSERT_TRUE(WaitFor([&] {
      HWND newShare = OwnWindow(kNewShareClass);
      return newShare != nullptr && !IsWindowVisible(newShare);
    }));
    panel_ = OwnWindow(kPanelClass);
    newShare_ = OwnWindow(kNewShareClass);
    ASSERT_NE(panel_, nullptr);
    SendMessageA(newShare_, WM_NULL, 0, 0);
  }

  void Click(HWND parent, int id) {
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(parent, id)));
  }
  void PressClose() {
    Click(panel_, 2001);
    WaitForUiThread(app_);
  }
  void PressCloseBox() {
    SendMessageA(panel_, WM_CLOSE, 0, 0);
    WaitForUiThread(app_);
  }
  void SetText(HWND parent, int id, const std::string& text) {
    SendMessageA(GetDlgItem(parent, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  std::string Text(HWND parent, int id) { return TextOf(GetDlgItem(parent, id)); }
  bool Checked(int id) { return IsDlgButtonChecked(panel_, id) == BST_CHECKED; }
  void Check(int id, bool on) {
    SendMessageA(GetDlgItem(panel_, id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  HWND List() { return GetDlgItem(panel_, 2013); }
  HWND Combo() { return GetDlgItem(panel_, 2011); }

  int RowCount() { return static_cast<int>(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0)); }
  std::string Cell(int row, int column) {
    char buffer[300] = {};
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = sizeof buffer;
    SendMessageA(List(), LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return buffer;
  }
  std::vector<std::string> FileColumn() {
    std::vector<std::string> cells;
    for (int row = 0; row < RowCount(); ++row) cells.push_back(Cell(row, 0));
    return cells;
  }
  void SetRowState(int row, UINT state, UINT mask) {
    LVITEMA item{};
    item.state = state;
    item.stateMask = mask;
    SendMessageA(List(), LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }
  std::vector<std::string> VirtualPaths() {
    std::vector<std::string> paths;
    for (const SharePtr& share : app_.shares.Snapshot()) paths.push_back(share->virtualPath);
    return paths;
  }
  std::string SharedCfg() { return ReadFileBytes(app_.storedFiles.Shares()); }
  std::string CommonCfg() { return ReadFileBytes(app_.storedFiles.Settings()); }
  bool Exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

  ScopedTempDirectory directory_;
  MessageRecorder messages_;
  Application app_;
  HWND panel_ = nullptr;
  HWND newShare_ = nullptr;
};

}  // namespace qc::tests
