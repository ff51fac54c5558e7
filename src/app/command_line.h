#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory.h"

namespace qc {

// The command-line tail: everything after the program name and the blanks after it,
// unchanged (quotes and trailing blanks stay).
std::string CommandLineTail(const char* commandLine);

enum class Role { Server, Panel, Stop, Share };
Role ChooseRole(const std::string& tail);

// True when a file or a folder stands at `path`.
bool ExistsOnDisk(const std::string& path);

// Splits a tail into arguments the way the Microsoft C runtime splits a command line:
// blanks and tabs separate, double quotes group, 2n backslashes before a quote give n
// backslashes and a grouping quote, 2n+1 give n backslashes and a literal quote, other
// backslashes stand as they are, and "" inside a quoted part is a literal quote.
std::vector<std::string> SplitTailArguments(std::string_view tail);

// The files a share tail names, in order. Explorer's Send to passes several selected
// files as several arguments, each quoted when it holds a blank: when the tail splits
// into two or more arguments and every one names something that exists (a file, or a
// folder selected with them, shared as an archive), each is a path of
// its own. Otherwise the whole tail is one path, with one pair of surrounding double
// quotes removed (so an unquoted path with blanks still works).
std::vector<std::string> SharePathsFromTail(
    const std::string& tail, const std::function<bool(const std::string&)>& exists = ExistsOnDisk);

}  // namespace qc
