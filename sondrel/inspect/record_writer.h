// The record as one line of JSON (without the newline), written as it is
// produced: a long track list is never held whole.
#pragma once

#include "json_writer.h"
#include "inspect/record.h"

namespace sondrel {

void WriteRecord(JsonWriter& j, const Record& r);

// The five loudness values as one object, as the record and the writers'
// lines give them.
void WriteLoudness(JsonWriter& j, const LoudnessFigures& l);

} // namespace sondrel
