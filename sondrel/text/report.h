// Report lines ("section.Field : value") and the handlers of the "fmt ",
// "bext" and "iXML" chunks.
#pragma once

#include "text/walk_state.h"

namespace sondrel {

// The name of the section being reported, zero-terminated; one per report.
struct Section {
    char name[128];
};

// Starts a section; `s` is always one of the fixed section names.
void outStart(Section& section, const char* s);

// Writes "section.name : value" and a newline, the value formatted printf-style.
void out(const Section& section, const char* name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Ends the section.
void outEnd(Section& section);

// Fills w.format from a "fmt " chunk; prints the "fmt" section with --fmt.
void FmtChunk(WalkState& w);

// Reads a "bext" chunk; prints the "bext" section with --bext.
void BextChunk(WalkState& w);

// Copies the body of an "iXML" chunk to standard output unchanged.
void IXMLChunk(WalkState& w);

} // namespace sondrel
