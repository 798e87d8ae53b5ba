// Checks across chunks: what one chunk says against what another says of
// the same file.  They use what the walk and the record already decoded.
#pragma once

#include "inspect/record.h"
#include "inspect/structure.h"

void CheckAcrossChunks(Record& r, const FileWalk& f, const Singles& s);
