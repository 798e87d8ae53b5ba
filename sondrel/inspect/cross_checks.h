// A file's chunks held against each other: a rate, a length or a time that
// two chunks state differently.  Only what the walk already decoded is used.
#pragma once

#include "inspect/record.h"
#include "inspect/structure.h"

namespace sondrel {

void CheckAcrossChunks(Record& r, const FileWalk& f, const Singles& s);

} // namespace sondrel
