// Audio streaming of the "data" chunk, as stored or mixed to 16-bit mono.
#pragma once

#include "text/walk_state.h"

#include <cstdint>

namespace sondrel {

// Streams the audio of a "data" chunk to standard output (or reads it through
// on a dry run), downmixed to 16-bit mono with --mono.
void DataChunk(WalkState& w);

// Progress percentage 0..100 of `done` out of `total`.
int Percent64(uint64_t done, uint64_t total);

} // namespace sondrel
