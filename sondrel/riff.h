// RIFF/RF64/BW64 reader: opens the file and walks its chunks, handing each
// one to a text mode's handler or listing it for the inspector.
#pragma once

#include "decode.h"
#include "io.h"
#include "status.h"
#include "text/flags.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// The 8-byte chunk header as stored: four raw id bytes and a 32-bit size that
// counts neither the header nor the pad byte after an odd-sized body.
struct ChunkHeader {
    std::array<char, 4> id;
    uint32_t size;
};

// The size field value that RF64/BW64 files use to say "see ds64".
constexpr uint32_t SizeFromDs64 = 0xFFFFFFFFu;

// A chunk header as the inspector's walk read it.
struct WalkedChunk {
    FourCC id;
    uint64_t offset;  // of the header
    uint64_t size;    // resolved: through ds64, or to the end of the file
    bool complete;    // the file holds the whole body
    bool sizeUnset;   // an unfinalised size: the body runs to the end of the file
    bool sizeUnknown; // RF64/BW64 0xFFFFFFFF that no ds64 sizes
};

// What the inspector's walk noticed about the file's structure.
enum class WalkIssue {
    Truncated,
    PadByteMissing,
    DataSizeUnset,
    Ds64Missing,
    TrailingBytes,
    ChunkLimit
};
struct WalkNote {
    WalkIssue issue;
    int chunk;       // index into WalkState::chunks, or -1
    uint64_t offset; // the chunk's header, or the first trailing byte
};

// The inspector's walk stops after this many chunks: a file of zero-size
// chunks must not grow the record without bound.
constexpr size_t MaxWalkedChunks = 10000;

struct WalkState;

// A text mode's handler of one chunk, called after the chunk's summary line.
using ChunkHandler = void (*)(WalkState&);

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
    ChunkHandler handler = nullptr; // the text modes' handler of each chunk

    // The inspector's walk: reads at absolute offsets without messages, goes
    // on through damage where the structure still shows, and lists every
    // chunk header instead of handing chunks to the text handlers.
    bool inspect = false;
    uint64_t fileBytes = 0;
    FourCC magic{};
    uint32_t riffSize = 0;
    bool haveDs64 = false;
    Ds64Record ds64;                                  // the first ds64 chunk
    std::unordered_map<uint32_t, uint64_t> ds64Sizes; // its table by chunk id
    int readError = 0; // errno of a failed read; the walk ended there
    std::vector<WalkedChunk> chunks;
    std::vector<WalkNote> notes;
};

// The text modes' walk: opens the file at `path` (reporting a failure),
// checks its header and hands each chunk to `handler`; closes the file.
void WalkWaveFile(const char* path, ChunkHandler handler);

// The inspector's walk over an open descriptor of a file of w.fileBytes
// bytes (set w.fd and w.fileBytes first).  False when the file is not a
// RIFF/RF64/BW64 WAVE file or its header cannot be read (w.readError).
bool InspectWalk(WalkState& w);

// Reads up to `count` bytes at `offset` for the inspector, keeping a
// failure's errno in w.readError instead of reporting it.
size_t InspectRead(WalkState& w, uint64_t offset, void* buffer, size_t count);

// Bytes of the file from `offset` to its end (w.fileBytes); 0 past it.
uint64_t BytesLeft(const WalkState& w, uint64_t offset);

// Closes the descriptor of a walk that a fatal stop cut short; a real run
// ends the process there, an in-process run (fuzzing, tests) goes on.
void ResetWalker();

inline bool IdIs(const ChunkHeader& h, const char (&id)[5])
{
    return IdIs(h.id, id);
}
