// RIFF/RF64/BW64 reader: opens the file, walks its chunks and hands each one
// to the handler that the option flags select.
#pragma once

#include "decode.h"
#include "flags.h"
#include "io.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

// The 8-byte chunk header as stored: four raw id bytes and a 32-bit size that
// counts neither the header nor the pad byte after an odd-sized body.
struct ChunkHeader {
    std::array<char, 4> id;
    uint32_t size;
};

// The size field value that RF64/BW64 files use to say "see ds64".
constexpr uint32_t SizeFromDs64 = 0xFFFFFFFFu;

// Everything the walk knows about one file.  Handlers get it by reference and
// may leave the descriptor anywhere: the walker moves on by absolute seeks.
struct WalkState {
    int fd = -1;
    int rf64 = 0;              // magic was "RF64" or "BW64"
    uint64_t ds64DataSize = 0; // data size from the ds64 chunk, 0 until one is read
    uint64_t chunkOffset = 12; // where the current chunk's header starts
    ChunkHeader header{};      // current chunk's header, as stored
    uint64_t resolvedSize = 0; // size after ds64 resolution
    uint64_t steppedSize = 0;  // resolved size rounded up to even
    uint64_t bodyOffset = 0;   // chunkOffset + 8
    uint64_t audioSize = 0;    // audio bytes of a "data" chunk: no pad byte
    FormatBytes formatBytes{}; // the record as read, over any earlier "fmt "
    WaveFormatRecord format{}; // decoded from formatBytes
    // First 32-bit group of an extensible format's sub-format GUID, kept only
    // when the "fmt " chunk delivered all 22 extension bytes.
    int hasSubFormat = 0;
    uint32_t subFormatGroup = 0;
};

// Per-file driver: walks the file at `path` and writes the end marker.
void DumpWaveFile(const char* path);

// Closes the descriptor of a walk that a fatal stop cut short; a real run
// ends the process there, an in-process run (fuzzing, tests) goes on.
void ResetWalker();

inline bool IdIs(const ChunkHeader& h, const char (&id)[5])
{
    return std::memcmp(h.id.data(), id, 4) == 0;
}
