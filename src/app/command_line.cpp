#include "app/command_line.h"

#include <algorithm>

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

Role ChooseRole(const std::string& tail) {
  if (tail.empty()) return Role::Server;
  if (tail == "-ui") return Role::Panel;
  if (tail == "-stop") return Role::Stop;
  return Role::Share;
}

std::vector<std::string> SplitTailArguments(std::string_view tail) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  const std::size_t n = tail.size();
  for (;;) {
    while (i < n && IsBlank(tail[i])) ++i;
    if (i >= n) break;
    std::string argument;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(tail[i]))) {
      if (tail[i] == '\\') {
        std::size_t backslashes = 0;
        while (i < n && tail[i] == '\\') {
          ++backslashes;
          ++i;
        }
        if (i < n && tail[i] == '"') {
          argument.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            argument.push_back('"');
            ++i;
          }
          // An even count leaves the quote to group, below.
        } else {
          argument.append(backslashes, '\\');
        }
      } else if (tail[i] == '"') {
        if (quoted && i + 1 < n && tail[i + 1] == '"') {
          // The runtime since 2008: a doubled quote inside a quoted part is one literal
          // quote, and the part goes on.
          argument.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument.push_back(tail[i]);
        ++i;
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

bool ExistsOnDisk(const std::string& path) {
  return platform::KindOfPath(path) != platform::PathKind::Missing;
}

std::vector<std::string> SharePathsFromTail(const std::string& tail,
                                            const std::function<bool(const std::string&)>& exists) {
  std::vector<std::string> arguments = SplitTailArguments(tail);
  const auto isThere = [&](const std::string& a) { return !a.empty() && exists(a); };
  if (arguments.size() >= 2 && std::all_of(arguments.begin(), arguments.end(), isThere)) {
    return arguments;
  }
  if (tail.size() > 2 && tail.front() == '"' && tail.back() == '"') {
    return {tail.substr(1, tail.size() - 2)};
  }
  return {tail};
}

}  // namespace qc
