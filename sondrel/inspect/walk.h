// The inspector's walk: quiet reads at absolute offsets, every chunk header
// listed with what the file holds of its body, the structure's defects noted.
// It goes on through damage where the structure still shows.
#pragma once

#include "decode.h"
#include "io.h"
#include "riff.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace sondrel {

// A chunk header as the walk read it.
struct WalkedChunk {
    FourCC id;
    uint64_t offset;  // of the header
    uint64_t size;    // resolved: through ds64, or to the end of the file
    bool complete;    // the file holds the whole body
    bool sizeUnset;   // an unfinalised size: the body runs to the end of the file
    bool sizeUnknown; // RF64/BW64 0xFFFFFFFF that no ds64 sizes

    // Its size field says where it ends.
    bool Sized() const { return !sizeUnset && !sizeUnknown; }
    // The offset after its body and pad byte.
    uint64_t Next() const { return offset + 8 + RoundUpToEven(size); }
    // Body bytes a file of `fileBytes` holds.
    uint64_t InFile(uint64_t fileBytes) const
    {
        return offset + 8 >= fileBytes ? 0 : std::min(size, fileBytes - offset - 8);
    }
};

// What the walk noticed about the file's structure.
enum class WalkIssue {
    Truncated,
    PadByteMissing,
    DataSizeUnset,
    Ds64Missing,
    TrailingBytes,
    Concatenated,
    ChunkLimit
};
struct WalkNote {
    WalkIssue issue;
    int chunk;       // index into FileWalk::chunks, or -1
    uint64_t offset; // the chunk's header, or the first trailing byte
    FourCC id{};     // the magic where another file starts
};

// The walk stops after this many chunks: a file of zero-size chunks must not
// grow the record without bound.
constexpr size_t MaxWalkedChunks = 10000;

// Everything the walk found in one file.
struct FileWalk {
    int fd = -1;     // -1 when the bytes are not a file's (a planned file)
    ByteReader read; // the file's bytes
    uint64_t fileBytes = 0;
    FourCC magic{}; // the first 4 bytes when they are a magic, else zeros
    bool rf64 = false;
    uint32_t riffSize = 0;
    bool isWave = false; // a RIFF/RF64/BW64 header of form type WAVE
    Ds64Sizes ds64; // the first ds64 chunk
    int readError = 0; // errno of a failed read; the walk ended there
    // Where the RIFF size says the file ends, when it says one (not 0 or
    // 0xFFFFFFFF; through ds64 for RF64/BW64).
    std::optional<uint64_t> riffEnd;
    std::vector<WalkedChunk> chunks;
    std::vector<WalkNote> notes;

    // Reads up to `count` bytes at `offset`, keeping a failure's errno in
    // readError instead of reporting it.
    size_t Read(uint64_t offset, void* buffer, size_t count);
    // Bytes of the file from `offset` to its end; 0 past it.
    uint64_t BytesLeft(uint64_t offset) const;
    // The body bytes of `c` that the file holds, up to `limit`.
    std::vector<unsigned char> ReadBody(const WalkedChunk& c, uint64_t limit);
};

// Walks the open descriptor `fd` of a file of `fileBytes` bytes.  When the
// header is not that of a WAVE file, isWave is false and nothing is listed.
FileWalk WalkFile(int fd, uint64_t fileBytes);

// The same walk over the bytes `read` gives: the writers' checks walk the
// file as their plan will leave it.
FileWalk WalkBytes(ByteReader read, uint64_t fileBytes);

} // namespace sondrel
