// The native entry: the arguments arrive split, so they are joined back into the tail.
#include "app/command_line.h"
#include "app/server.h"

int main(int argc, char** argv) { return qc::RunEntry(qc::JoinArguments(argc, argv)); }
