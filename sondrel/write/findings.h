// The inspector's findings for the writers: what was wrong with a file
// before it was written, and what is left in the written file.
#pragma once

#include "inspect/record.h"

#include <string>
#include <vector>

namespace sondrel {

// The audio of a file read once, kept to be compared again after a write.
struct Measurement {
    InspectOptions asked;
    MeasureRequest request;
    MeasureResult result;
};

// The inspector's record of the file open on `fd`: headers and metadata.
Record InspectOpen(int fd);

// Reads the record's audio once, as `--json` with the options asked would,
// and compares it with what the file stores.  Nothing is read when the
// record has no audio.
Measurement MeasureInto(Record& r, int fd, const InspectOptions& asked);

// Compares an earlier measurement with what the record's file stores now:
// the record then says what `--json` with those options would say, without
// the audio read again.
void CompareInto(Record& r, const Measurement& m);

// The codes of a record, in its order.
std::vector<std::string> CodesOf(Record& r);

} // namespace sondrel
