// The writers' one call into the inspector: the record of the open file
// they plan from, the audio measured once, the codes of what was found.
#pragma once

#include "inspect/record.h"

#include <functional>
#include <vector>

namespace sondrel {

// The audio of a file read once, kept to be compared again after a write.
struct Measurement {
    InspectOptions asked;
    MeasureRequest request;
    MeasureResult result;
};

// The inspector's record of the file open on `fd`, as it is now: its walked
// chunks, headers and metadata, the audio not read.
Record InspectOpen(int fd);

// Reads the record's audio once, as `--json` with the options asked would,
// and compares it with what the file stores.  Nothing is read when the
// record has no audio.  `progress`, when set, hears the bytes read.
Measurement MeasureInto(Record& r, int fd, const InspectOptions& asked,
                        const std::function<void(uint64_t)>& progress = {});

// Compares an earlier measurement with what the record's file stores now:
// the record then says what `--json` with those options would say, without
// the audio read again.
void CompareInto(Record& r, const Measurement& m);

// The codes of a record's findings, in its order.
std::vector<Code> CodesOf(Record& r);

// The record has a finding of `code`.
bool HasCode(const Record& r, Code code);

} // namespace sondrel
