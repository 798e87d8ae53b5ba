// The audio measured against what the file stores.
#pragma once

#include "inspect/record.h"

#include <functional>

namespace sondrel {

// The audio of a file read once, kept to be compared again after a write.
struct Measurement {
    InspectOptions asked;
    MeasureRequest request;
    MeasureResult result;
};

// Reads the record's audio once for what is asked (MD5, loudness, signal)
// and compares it with what the file stores: the MD5 chunk, the bext
// loudness.  Nothing is read when the record has no audio or nothing is
// asked.  `progress`, when set, hears the bytes read.
Measurement MeasureRecord(Record& r, int fd, const InspectOptions& asked,
                          const std::function<void(uint64_t)>& progress = {});

// An earlier measurement compared with what the record's file stores now:
// the record then says what `--json` with those options would say, without
// the audio read again.
void CompareMeasurement(Record& r, const Measurement& m);

// The bext loudness fields: version 2 stores hundredths; 0x7FFF is unset.
LoudnessFigures StoredFigures(const BextRecord& b);

} // namespace sondrel
