// The audio measured against what the file stores.
#pragma once

#include "inspect/record.h"

// Reads the audio once for the MD5 and the loudness asked for, and compares
// them with the MD5 chunk and the bext loudness.
void MeasureAudio(Record& r, FileWalk& f, const InspectOptions& o);

// The bext loudness fields: version 2 stores hundredths; 0x7FFF is unset.
LoudnessFigures StoredFigures(const BextRecord& b);
