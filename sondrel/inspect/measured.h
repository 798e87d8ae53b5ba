// The audio measured against what the file stores.
#pragma once

#include "inspect/record.h"

namespace sondrel {

// Reads the audio once for the MD5 and the loudness asked for, and compares
// them with the MD5 chunk and the bext loudness.
void MeasureAudio(Record& r, FileWalk& f, const InspectOptions& o);

// The two halves of MeasureAudio, for a writer that measures once and
// compares again after it has written: what to read for the options asked
// (and the layout to read it with), then what was read set into the record
// and compared with what the file stores.
MeasureRequest RequestFor(const Record& r, const InspectOptions& o, AudioLayout& layout);
void TakeMeasurement(Record& r, const MeasureResult& v, const MeasureRequest& q,
                     const InspectOptions& o);

// The bext loudness fields: version 2 stores hundredths; 0x7FFF is unset.
LoudnessFigures StoredFigures(const BextRecord& b);

} // namespace sondrel
