// Inspection records read back from JSON Lines: each line parsed as it
// comes (nlohmann-json's event parser), keeping only what the report shows.
#pragma once

#include "report/run_summary.h"

#include <cstdio>
#include <string_view>

namespace sondrel {

// The facts of one JSON line; false when it is not a JSON object.
bool ParseRecordFacts(std::string_view line, RecordFacts& facts);

// Feeds every line of `in` to `summary`; empty lines are skipped, a line
// that is not a record (or longer than MaxLineBytes) is counted as bad.
// Returns false when `in` could not be read (errno set).
bool ReadRecords(FILE* in, RunSummary& summary);

constexpr size_t MaxLineBytes = 64 * 1024 * 1024;

} // namespace sondrel
