// The control panel's rules that need no window: the port field, the share rows, the
// New share window's completion and the URL copy of the selected rows.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "shares/share_url.h"
#include "ui/panel_logic.h"
#include "ui/panel_messages.h"
#include "unit/clipboard_fakes.h"
#include "unit/test_support.h"

namespace qc::tests {
namespace {

using platform::MessageIcon;

// Physical paths are written with "\" and turned into the build's separator.
std::string Local(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = platform::kPathSeparator;
  }
  return path;
}

TEST(PanelTextRules, PortTextReadsAsAtoi) {
  struct Case {
    const char* text;
    int number;
    std::uint16_t stored;
  };
  const Case cases[] = {
      {"81", 81, 81},
      {"81abc", 81, 81},
      {"abc", 0, 0},
      {"", 0, 0},
      {" \t+443", 443, 443},
      {"-1", -1, 65535},
      {"65536", 65536, 0},
      {"65617", 65617, 81},
      {"1 2", 1, 1},
      {"99999999999999999999999", 2147483647, 65535},
      {"-99999999999999999999999", -2147483647 - 1, 0},
      {"+", 0, 0},
      {"- 5", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::ParsePortText(c.text), c.number) << c.text;
    EXPECT_EQ(ui::StoredPort(ui::ParsePortText(c.text)), c.stored) << c.text;
  }
}

TEST(PanelTextRules, ChosenFileCompletesTheVirtualFile) {
  struct Case {
    const char* current;
    const char* chosen;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"", "C:\\docs\\a.txt", "/a.txt"},
      {"/files/", "C:\\docs\\a.txt", "/files/a.txt"},
      {"/", "C:\\docs\\a.txt", "/a.txt"},
      {"/files/a.txt", "C:\\docs\\b.txt", std::nullopt},
      {"/files", "C:\\docs\\b.txt", std::nullopt},
      {"", "nobackslash", "/nobackslash"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::CompleteVirtualFile(c.current, Local(c.chosen)), c.result)
        << c.current << " " << c.chosen;
  }
}

TEST(PanelTextRules, ChosenFolderCompletesTheVirtualFileWithItsArchive) {
  struct Case {
    const char* current;
    const char* chosen;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"", "C:\\docs\\photos", "/photos.zip"},
      {"/files/", "C:\\docs\\photos", "/files/photos.zip"},
      {"", "C:\\docs\\photos\\", "/photos.zip"},
      {"", "C:\\docs\\old.zip", "/old.zip.zip"},
      {"", "C:\\", "/C.zip"},
      {"/files/photos.zip", "C:\\docs\\notes", std::nullopt},
      {"/files", "C:\\docs\\notes", std::nullopt},
      // A name without a folder has no archive name.
      {"", "nobackslash", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::CompleteVirtualFolder(c.current, Local(c.chosen)), c.result)
        << c.current << " " << c.chosen;
  }
}

TEST(PanelTextRules, RowTextsSplitAtTheLastSlash) {
  struct Case {
    const char* path;
    const char* file;
    const char* folder;
  };
  const Case cases[] = {
      {"/temp/a.txt", "a.txt", "/temp/"},
      {"/temp/", "", "/temp/"},
      {"/a/b/c", "c", "/a/b/"},
      {"a.txt", "error, virtual path is invalid", ""},
      {"", "error, virtual path is invalid", ""},
  };
  for (const Case& c : cases) {
    const ui::ShareRowTexts texts = ui::SplitVirtualPath(c.path);
    EXPECT_EQ(texts.file, c.file) << c.path;
    EXPECT_EQ(texts.folder, c.folder) << c.path;
  }
}

class CopySelectedUrlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.AppendShare("C:\\a", "/temp/a.txt", 0);
    registry_.AppendShare("C:\\b", "/b c.txt", kOneShot);
    registry_.AppendShare("C:\\c", "/c", 0);
    registry_.AppendShare("C:\\d", "/d", kWithdrawn);
  }
  // What the copy is handed: `clipboard`, `recorder` for messages and the fixture's
  // machine, or `host`.
  platform::Services With(const FakeClipboard& clipboard, const MessageRecorder& recorder) const {
    return With(clipboard, recorder, host_);
  }
  static platform::Services With(const FakeClipboard& clipboard, const MessageRecorder& recorder,
                                 platform::AddressLookup host) {
    return {clipboard.Ops(), recorder.Sink(), std::move(host), {}};
  }

  ShareRegistry registry_;
  platform::AddressLookup host_ = FakeHost(std::vector<std::string>{"10.1.2.3"});
};

TEST_F(CopySelectedUrlsTest, SelectedRowsInListOrder) {
  struct Case {
    std::string domain;
    std::uint16_t port;
    std::vector<int> rows;
    std::string text;
  };
  const Case cases[] = {
      {"localhost", 80, {1}, "http://localhost/b%20c.txt"},
      {"localhost", 81, {0}, "http://localhost:81/temp/a.txt"},
      {"localhost",
       81,
       {0, 2, 3},
       "http://localhost:81/temp/a.txt\r\nhttp://localhost:81/c\r\nhttp://localhost:81/d"},
      {"",
       80,
       {1, 3, 0},
       "http://10.1.2.3/b%20c.txt\r\nhttp://10.1.2.3/d\r\nhttp://10.1.2.3/temp/a.txt"},
      {"localhost", 0, {2, 3}, "http://localhost:0/c\r\nhttp://localhost:0/d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ServerSettings settings = UrlSettings(c.domain, 0, c.port);
    FakeClipboard clipboard;
    MessageRecorder recorder;
    EXPECT_EQ(ui::CopySelectedUrls(With(clipboard, recorder), settings, registry_, c.rows),
              UrlCopy::Copied);
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.Text(), c.text);
    // size + 1 bytes: per URL its escaped path, host, port digits and nine, one more off
    // port 80.
    std::size_t size = 0;
    const std::string host = c.domain.empty() ? "10.1.2.3" : c.domain;
    for (int row : c.rows) {
      size += EscapeUrlPath(registry_.ShareAt(row)->virtualPath).size() + host.size() +
              std::to_string(c.port).size() + 9 + (c.port != 80 ? 1 : 0);
    }
    ASSERT_TRUE(clipboard.contents);
    EXPECT_EQ(clipboard.contents->size(), size + 1);
  }
}

TEST_F(CopySelectedUrlsTest, RefusalsLeaveTheClipboardUnchanged) {
  const RecordedMessage kDesync{"Can't find data in memory with same index. Desync error.", "error",
                                MessageIcon::Error};
  const RecordedMessage kSelect{"Select at least one element from list", "Attention",
                                MessageIcon::Warning};
  struct Case {
    const char* name;
    std::vector<int> rows;
    UrlCopy result;
    RecordedMessage message;
  };
  const Case cases[] = {
      {"no selection", {}, UrlCopy::NothingSelected, kSelect},
      {"surplus row only", {4}, UrlCopy::Desync, kDesync},
      {"surplus row after valid ones", {0, 1, 7}, UrlCopy::Desync, kDesync},
      {"negative row", {-1}, UrlCopy::Desync, kDesync},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClipboard clipboard;
    MessageRecorder recorder;
    const UrlCopy result = ui::CopySelectedUrls(With(clipboard, recorder),
                                                UrlSettings("localhost", 0, 80), registry_, c.rows);
    EXPECT_EQ(result, c.result);
    // Nothing is shown while the clipboard is open.
    EXPECT_EQ(clipboard.calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_TRUE(recorder.Messages().empty());
    ui::ReportSelectedUrlCopy(recorder.Sink(), result);
    EXPECT_EQ(recorder.Messages(), std::vector<RecordedMessage>{c.message});
    EXPECT_EQ(clipboard.calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_EQ(clipboard.Text(), "previous");
  }
}

TEST_F(CopySelectedUrlsTest, ClipboardAndHostFailures) {
  {
    SCOPED_TRACE("clipboard cannot be opened");
    FakeClipboard clipboard;
    clipboard.openSucceeds = false;
    MessageRecorder recorder;
    const UrlCopy result = ui::CopySelectedUrls(With(clipboard, recorder),
                                                UrlSettings("localhost", 0, 80), registry_, {});
    EXPECT_EQ(result, UrlCopy::ClipboardUnavailable);
    ui::ReportSelectedUrlCopy(recorder.Sink(), result);
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(clipboard.calls, std::vector<std::string>{"open"});
    EXPECT_EQ(clipboard.Text(), "previous");
  }
  {
    SCOPED_TRACE("block cannot be allocated");
    FakeClipboard clipboard;
    clipboard.allocationSucceeds = false;
    MessageRecorder recorder;
    const UrlCopy result = ui::CopySelectedUrls(With(clipboard, recorder),
                                                UrlSettings("localhost", 0, 80), registry_, {0});
    EXPECT_EQ(result, UrlCopy::NotSet);
    ui::ReportSelectedUrlCopy(recorder.Sink(), result);
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_FALSE(clipboard.contents);
  }
  {
    SCOPED_TRACE("no address at all: a link that works on this machine");
    FakeClipboard clipboard;
    MessageRecorder recorder;
    const UrlCopy result = ui::CopySelectedUrls(With(clipboard, recorder, FakeHost(std::nullopt)),
                                                UrlSettings("", 0, 80), registry_, {0});
    EXPECT_EQ(result, UrlCopy::Copied);
    ui::ReportSelectedUrlCopy(recorder.Sink(), result);
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(clipboard.calls, kCalls);
    EXPECT_EQ(clipboard.Text(), "http://127.0.0.1/temp/a.txt");
  }
}

}  // namespace
}  // namespace qc::tests
