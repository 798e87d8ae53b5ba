// Enciphered hexadecimal export of small non-audio chunks.
#pragma once

#include <cstdint>

// Exports one chunk, header and pad byte included, starting at `offset`
// (where its header starts); `steppedSize` is its size rounded up to even.
void RIFFDumpChunk(int fd, uint64_t offset, uint64_t steppedSize);
