#include "app/command_line.h"

namespace qc {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string CommandLineTail(const char* commandLine) {
  if (commandLine == nullptr) return std::string();
  const char* p = commandLine;
  while (IsBlank(*p)) ++p;
  char end = ' ';
  if (*p == '"') {
    end = '"';
    ++p;
  }
  while (*p != '\0' && *p != end && *p != '\t') ++p;
  if (*p == '"') ++p;
  while (IsBlank(*p)) ++p;
  return std::string(p);
}

std::string JoinArguments(int argc, char** argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail += ' ';
    tail += argv[i];
  }
  return tail;
}

Role ChooseRole(const std::string& tail) {
  if (tail.empty()) return Role::Server;
  if (tail == "-ui") return Role::Panel;
  if (tail == "-stop") return Role::Stop;
  return Role::Share;
}

}  // namespace qc
