// The findings of --signal: what the measured signal says is wrong.
#pragma once

#include "inspect/record.h"

namespace sondrel {

// Adds the record's signal findings, each about the data chunk: one per
// code, naming the channels and amounts, and one per silence listed.
void AddSignalFindings(Record& r);

} // namespace sondrel
