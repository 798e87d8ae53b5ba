// Report lines ("section.Field : value") and the handlers of the "fmt ",
// "bext" and "iXML" chunks.
#pragma once

#include "riff.h"

#include <cstdint>

// Name of the section being reported, zero-terminated; empty between reports.
extern char Section[128];

// Starts a section; `s` is always one of the fixed section names.
void outStart(const char* s);

// Writes "Section.name : value" and a newline, the value formatted printf-style.
void out(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Ends the current section.
void outEnd();

// "PCM", "MPEG", "Extensible" or "Unknown" for a format tag.
const char* WavFormatAsStr(uint16_t tag);

// Fills w.format from a "fmt " chunk; prints the "fmt" section with --fmt.
void FmtChunk(WalkState& w);

// Reads a "bext" chunk; prints the "bext" section with --bext.
void BextChunk(WalkState& w);

// Copies the body of an "iXML" chunk to standard output unchanged.
void IXMLChunk(WalkState& w);
