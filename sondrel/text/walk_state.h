// What the text modes know about the one file of a run while they walk it.
#pragma once

#include "decode.h"
#include "riff.h"

#include <cstdint>

namespace sondrel {

struct ExportStream;

// One per file, made when the file is opened.  Handlers get it by reference
// and may leave the descriptor anywhere: the walker moves on by absolute seeks.
struct WalkState {
    Walk walk;
    Ds64Sizes ds64;            // the last ds64 that held a data size
    uint64_t resolvedSize = 0; // the current chunk's size after ds64 resolution
    uint64_t audioSize = 0;    // audio bytes of a "data" chunk: no pad byte
    FormatBytes formatBytes{}; // the record as read, over any earlier "fmt "
    WaveFormatRecord format{}; // decoded from formatBytes
    // First 32-bit group of an extensible format's sub-format GUID, kept only
    // when the "fmt " chunk delivered all 22 extension bytes.
    int hasSubFormat = 0;
    uint32_t subFormatGroup = 0;
    ExportStream* exportStream = nullptr; // the run's export, with --rawchunks

    int fd() const { return walk.fd; }
    const ChunkHeader& header() const { return walk.header; }
};

} // namespace sondrel
