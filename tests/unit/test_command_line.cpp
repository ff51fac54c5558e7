#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/directory.h"
#include "unit/test_support.h"

namespace qc {
namespace {

struct TailCase {
  const char* commandLine;
  const char* tail;
  Role role;
};

TEST(CommandLineTail, FormsTheTailAndTheRoleFromWholeCommandLines) {
  const TailCase cases[] = {
      {"quillcast.exe", "", Role::Server},
      {"quillcast.exe   ", "", Role::Server},
      {"\"C:\\Program Files\\quillcast.exe\"", "", Role::Server},
      {"\"C:\\Program Files\\quillcast.exe\"  \t ", "", Role::Server},
      {"  \tquillcast.exe", "", Role::Server},
      {"quillcast.exe -ui", "-ui", Role::Panel},
      {"quillcast.exe -stop", "-stop", Role::Stop},
      {"\"C:\\Program Files\\quillcast.exe\" -stop", "-stop", Role::Stop},
      {"quillcast.exe\t-stop", "-stop", Role::Stop},
      // Switches are exact, case-sensitive, whole-tail matches.
      {"quillcast.exe -STOP", "-STOP", Role::Share},
      {"quillcast.exe -UI", "-UI", Role::Share},
      {"quillcast.exe -stop ", "-stop ", Role::Share},
      {"quillcast.exe \"-stop\"", "\"-stop\"", Role::Share},
      {"quillcast.exe -ui ", "-ui ", Role::Share},
      // A path keeps its quotes and inner blanks.
      {"quillcast.exe \"C:\\My files\\a b.txt\"", "\"C:\\My files\\a b.txt\"", Role::Share},
      {"\"q.exe\" C:\\a.txt", "C:\\a.txt", Role::Share},
      {"q.exe   C:\\a.txt  ", "C:\\a.txt  ", Role::Share},
      // A quoted program name ends at its closing quote, even without a blank after it.
      {"\"q.exe\"-stop", "-stop", Role::Stop},
      // An unterminated quote swallows the whole line as the program name.
      {"\"q.exe -stop", "", Role::Server},
      {"", "", Role::Server},
  };
  for (const TailCase& c : cases) {
    SCOPED_TRACE(c.commandLine);
    std::string tail = CommandLineTail(c.commandLine);
    EXPECT_EQ(tail, c.tail);
    EXPECT_EQ(ChooseRole(tail), c.role);
  }
}

// Where the program name ends, for each kind of blank around it: a tab ends the name
// (quoted or not) just as a blank ends an unquoted one, and the blanks after it, tabs
// included, are not part of the tail.
TEST(CommandLineTail, TabEndsTheProgramName) {
  struct Case {
    const char* commandLine;
    const char* tail;
  };
  const Case cases[] = {
      {"q.exe\t-ui", "-ui"},
      {"q.exe\t\t-stop", "-stop"},
      {"q.exe\t \t -stop", "-stop"},
      {"q.exe \t-ui", "-ui"},
      {"C:\\q.exe\tC:\\a.txt", "C:\\a.txt"},
      {"\tq.exe\t-stop", "-stop"},
      {"q.exe\t", ""},
      {"\"C:\\Program Files\\q.exe\"\t-ui", "-ui"},
      // A tab ends the name even inside quotes; the rest is the tail, quote and all.
      {"\"q\t.exe\" -stop", ".exe\" -stop"},
      // After the name the tail is taken unchanged, tabs inside it included.
      {"q.exe -stop\t", "-stop\t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.commandLine)));
    const std::string tail = CommandLineTail(c.commandLine);
    EXPECT_EQ(tail, c.tail);
  }
  EXPECT_EQ(ChooseRole(CommandLineTail("q.exe\t-stop")), Role::Stop);
  EXPECT_EQ(ChooseRole(CommandLineTail("q.exe\t-ui")), Role::Panel);
}

}  // namespace
}  // namespace qc

namespace qc {
namespace {

TEST(SplitTailArguments, FollowsTheWindowsArgumentRules) {
  struct Case {
    const char* tail;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"C:\\a.txt", {"C:\\a.txt"}},
      {"  C:\\a.txt\t C:\\b.txt  ", {"C:\\a.txt", "C:\\b.txt"}},
      // What Send to passes: each path quoted when it holds a blank.
      {"\"C:\\a b\\x.pdf\" C:\\c\\y.txt", {"C:\\a b\\x.pdf", "C:\\c\\y.txt"}},
      {"\"C:\\Shared Files\\report 2009.pdf\"", {"C:\\Shared Files\\report 2009.pdf"}},
      // A quoted part can sit inside an argument.
      {"C:\\dir\\a\" b\".pdf", {"C:\\dir\\a b.pdf"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      // Backslashes are literal unless a quote follows.
      {"C:\\dir\\\\x", {"C:\\dir\\\\x"}},
      {"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
      // 2n backslashes before a quote: n backslashes, and the quote groups.
      {"\"C:\\dir\\\\\" next", {"C:\\dir\\", "next"}},
      {"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
      // 2n+1 backslashes before a quote: n backslashes and a literal quote.
      {"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
      {"\"ab\\\"c\" \"\\\\\" d", {"ab\"c", "\\", "d"}},
      // A trailing backslash in a quoted path escapes the closing quote.
      {"\"C:\\dir\\\" next", {"C:\\dir\" next"}},
      // A doubled quote inside a quoted part is one literal quote, and the part goes on.
      {"\"a\"\"b c\" d", {"a\"b c", "d"}},
      {"\"\"\"x\"\"\"", {"\"x\""}},
      // An empty quoted part is an empty argument.
      {"\"\" x", {"", "x"}},
      // An unterminated quote runs to the end.
      {"\"C:\\a b.pdf", {"C:\\a b.pdf"}},
      // 8-bit bytes (an ANSI code page name) pass through.
      {"\"C:\\\xEE\xF2\xF7\xB8\xF2 2009.pdf\"", {"C:\\\xEE\xF2\xF7\xB8\xF2 2009.pdf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    EXPECT_EQ(SplitTailArguments(c.tail), c.arguments);
  }
}

TEST(SharePathsFromTail, SeveralExistingFilesOrOnePathWithoutItsQuotes) {
  const std::set<std::string> existing = {"C:\\a b\\x.pdf", "C:\\c\\y.txt", "C:\\d\\z.doc"};
  const auto exists = [&](const std::string& path) { return existing.count(path) != 0; };
  struct Case {
    const char* tail;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      // One quoted path loses its quotes.
      {"\"C:\\Shared Files\\report 2009.pdf\"", {"C:\\Shared Files\\report 2009.pdf"}},
      {"\"C:\\a b\\x.pdf\"", {"C:\\a b\\x.pdf"}},
      // Several existing files, each shared on its own, in order.
      {"\"C:\\a b\\x.pdf\" C:\\c\\y.txt", {"C:\\a b\\x.pdf", "C:\\c\\y.txt"}},
      {"C:\\c\\y.txt \"C:\\a b\\x.pdf\" C:\\d\\z.doc",
       {"C:\\c\\y.txt", "C:\\a b\\x.pdf", "C:\\d\\z.doc"}},
      {"C:\\c\\y.txt C:\\c\\y.txt", {"C:\\c\\y.txt", "C:\\c\\y.txt"}},
      // An unquoted path with a blank splits into words that are not all files: one path.
      {"C:\\x\\a b.pdf", {"C:\\x\\a b.pdf"}},
      // Even when some of the words happen to name files.
      {"C:\\c\\y.txt missing.txt", {"C:\\c\\y.txt missing.txt"}},
      {"\"C:\\a b\\x.pdf\" C:\\missing.txt", {"\"C:\\a b\\x.pdf\" C:\\missing.txt"}},
      // An empty argument names no file.
      {"C:\\c\\y.txt \"\"", {"C:\\c\\y.txt \"\""}},
      // One existing file, unquoted: as it is.
      {"C:\\c\\y.txt", {"C:\\c\\y.txt"}},
      // Only one pair of surrounding quotes goes; a lone quote stays.
      {"\"\"C:\\q.txt\"\"", {"\"C:\\q.txt\""}},
      {"\"C:\\q.txt", {"\"C:\\q.txt"}},
      {"C:\\q.txt\"", {"C:\\q.txt\""}},
      {"\"", {"\""}},
      // Nothing is left inside: the tail is sent as it is, never an empty path.
      {"\"\"", {"\"\""}},
      // Switches written otherwise stay paths, as before.
      {"-STOP", {"-STOP"}},
      {"\"-stop\"", {"-stop"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    EXPECT_EQ(SharePathsFromTail(c.tail, exists), c.paths);
  }
}

TEST(SharePathsFromTail, AsksTheFileSystemWhatExists) {
  tests::ScopedTempDirectory dir;
  tests::WriteFileBytes("a b.txt", "x");
  tests::WriteFileBytes("c.txt", "y");
  std::filesystem::create_directory("folder");
  EXPECT_TRUE(platform::IsExistingFile("c.txt"));
  EXPECT_FALSE(platform::IsExistingFile("folder"));
  EXPECT_FALSE(platform::IsExistingFile("missing.txt"));
  EXPECT_EQ(SharePathsFromTail("\"a b.txt\" c.txt"),
            (std::vector<std::string>{"a b.txt", "c.txt"}));
  // A folder selected with files stays a path of its own, which the server refuses by
  // name; joined to the file's it would make a share of a path that does not exist.
  EXPECT_EQ(SharePathsFromTail("c.txt folder"), (std::vector<std::string>{"c.txt", "folder"}));
  EXPECT_EQ(SharePathsFromTail("c.txt missing.txt"),
            (std::vector<std::string>{"c.txt missing.txt"}));
}

}  // namespace
}  // namespace qc
