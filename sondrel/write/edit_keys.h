// The fields --set edits, by the inspector's names, and the values each
// takes: checked whole, never cut to fit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sondrel
{

enum class KeyKind {
    Unknown,
    BextText, // description, originator, originator_reference
    Date,
    Time,
    TimeReference,
    Umid,
    CodingHistory,
    Info,
    Ixml,
};

struct Edit {
    std::string key;     // "bext.description", "info.INAM", "ixml"
    std::string value;   // as given; for ixml the document's bytes
    bool append = false; // bext.coding_history+=LINE
    bool fromTable = false; // a --set-from cell: as --csv shows the field, it is no edit
    KeyKind kind = KeyKind::Unknown;
};

// The key's kind, and for bext fields their offset and width in the body.
struct KeyInfo {
    KeyKind kind = KeyKind::Unknown;
    size_t offset = 0, width = 0;
};
KeyInfo InfoOfKey(std::string_view key);

// "KEY=VALUE" or "bext.coding_history+=LINE" split into an edit; false
// when there is no '='.  The key is not judged here.
bool SplitSetArgument(std::string_view arg, Edit& e);

// Why the edit cannot be made ("" when it can): an unknown key, or a value
// its field does not take.
std::string CheckEdit(const Edit& e);

// The coding history as stored: each line ending in CR LF, the last one too.
std::string StoredHistory(std::string_view lines);

// A value's LF-separated lines, a CR LF taken as a line end.
std::vector<std::string> SplitLines(std::string_view value);

// Parses a decimal time reference ("" is 0); false when it is not one.
bool ParseTimeReference(std::string_view text, unsigned long long& value);

// The 64 UMID bytes a hex value gives ("" is all zero).
std::string UmidBytes(std::string_view hex);

} // namespace sondrel
