#include <gtest/gtest.h>

#include "app/command_line.h"

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

TEST(CommandLineTail, JoinsSplitArgumentsWithSingleBlanks) {
  char program[] = "quillcast";
  char a[] = "/home/u/My";
  char b[] = "file.txt";
  char stop[] = "-stop";
  char* one[] = {program};
  char* two[] = {program, stop};
  char* three[] = {program, a, b};
  EXPECT_EQ(JoinArguments(1, one), "");
  EXPECT_EQ(JoinArguments(2, two), "-stop");
  EXPECT_EQ(JoinArguments(3, three), "/home/u/My file.txt");
}

}  // namespace
}  // namespace qc
