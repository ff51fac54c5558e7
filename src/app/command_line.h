#pragma once
#include <string>

namespace qc {

// The command-line tail: everything after the program name and the blanks after it,
// unchanged (quotes and trailing blanks stay).
std::string CommandLineTail(const char* commandLine);

// Where the platform hands the arguments split (the native build), they are joined back
// with single blanks.
std::string JoinArguments(int argc, char** argv);

enum class Role { Server, Panel, Stop, Share };
Role ChooseRole(const std::string& tail);

}  // namespace qc
