// Audio streaming of the "data" chunk and the 16-bit mono downmix.
#pragma once

#include "riff.h"

// Streams the audio of a "data" chunk to standard output (or reads it through
// on a dry run), downmixed to 16-bit mono with --mono.
void DataChunk(WalkState& w);
