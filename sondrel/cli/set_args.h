// The editing mode's own arguments: --set KEY=VALUE, --set-from TABLE,
// --no-rewrite and --dry-run.
#pragma once

#include "write/edit.h"

#include <string>
#include <vector>

namespace sondrel
{

// The editing mode's arguments, beside the file names.
struct SetArguments {
    std::vector<Edit> edits;
    std::vector<std::string> tables;
    SetOptions options;
};

// One of the options above.
bool IsSetOption(const char* arg);

// Takes an editing option at argv[i] (and its value, moving i past it).
// Returns -1 to go on, else the exit status of a usage error, its message
// written.
int SetArgument(int argc, char** argv, int& i, SetArguments& set);

} // namespace sondrel
