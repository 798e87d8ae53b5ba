// The record as one row of a table (--csv): the technical columns, then the
// fields --set edits, named by their keys, so a table goes back to
// --set-from as it is.
#pragma once

#include "inspect/record.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel
{

// The column names, in order.
const std::vector<std::string>& CsvColumns();

// The row of `r`, a cell per column; text taken from the file guarded.
std::vector<std::string> CsvCells(const Record& r);

// What the row shows for an editable key ("bext.originator", "info.INAM"),
// unguarded: "" for null.  nullopt for a key that is no column's.
std::optional<std::string> EditableCell(const Record& r, std::string_view key);

} // namespace sondrel
