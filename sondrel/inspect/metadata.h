// The metadata chunks in the record: bext, LIST/INFO, cue points, iXML, MD5.
#pragma once

#include "inspect/record.h"
#include "inspect/structure.h"

namespace sondrel {

void DescribeMetadata(Record& r, FileWalk& f, const Singles& s);

} // namespace sondrel
