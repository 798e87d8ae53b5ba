// Chunk reports.
#include "report.h"

void FmtChunk(WalkState&) {}

void BextChunk(WalkState&) {}

void IXMLChunk(WalkState&) {}
