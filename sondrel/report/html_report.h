// The run as one self-contained HTML page: inline SVG charts, a few lines
// of inline script to sort and filter the table, nothing fetched.
#pragma once

#include "report/run_summary.h"

#include <cstdio>
#include <string_view>

namespace sondrel {

// Writes the page of `summary` to `out`; false when a write failed.
bool WriteHtmlReport(const RunSummary& summary, FILE* out);

// Feeds one record, as --json writes it, to `summary`.
void AddRecordLine(RunSummary& summary, std::string_view line);

} // namespace sondrel
