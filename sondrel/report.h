// Report lines ("section.Field : value") and the handlers of the "fmt ",
// "bext" and "iXML" chunks.
#pragma once

#include "riff.h"

// Fills w.format from a "fmt " chunk; prints the "fmt" section with --fmt.
void FmtChunk(WalkState& w);

// Reads a "bext" chunk; prints the "bext" section with --bext.
void BextChunk(WalkState& w);

// Copies the body of an "iXML" chunk to standard output unchanged.
void IXMLChunk(WalkState& w);
