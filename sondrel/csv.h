// Comma-separated tables as spreadsheets exchange them: quoted fields, CR LF
// line ends written, CR LF or LF read, an optional byte-order mark; and the
// one-quote guard that keeps a spreadsheet from running a cell as a formula.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sondrel
{

// A row as one line: each field quoted when it holds a comma, quote, CR or
// LF (quotes doubled), the fields joined by commas, ending in CR LF.
std::string CsvLine(const std::vector<std::string>& fields);

// A text that begins with '=', '+', '-', '@', TAB, CR or a quote gets one
// quote before it; Unguard removes exactly that one quote again.
std::string Guard(std::string_view text);
std::string Unguard(std::string_view cell);

// Splits a whole table into rows of fields.  Returns "" or why it is not a
// table (a quote left open, text after a closing quote).  An empty last
// line is no row.
std::string ParseCsv(std::string_view text, std::vector<std::vector<std::string>>& rows);

// The bytes base64 `text` codes; false when it is not base64.
bool FromBase64(std::string_view text, std::string& bytes);

} // namespace sondrel
