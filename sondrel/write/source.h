// What the writers know of an input file: its container, its chunks and what
// lies past them, in plain values.  Planning, checking and writing read only
// this; the chunk walk is consulted in one place (source.cpp).
#pragma once

#include "bytes.h"
#include "decode.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sondrel {

struct SourceChunk {
    FourCC id{};
    uint64_t offset = 0;  // of the header
    uint64_t size = 0;    // resolved through ds64; to the end of the file when unsized
    uint64_t inFile = 0;  // body bytes the file holds
    bool complete = true; // the file holds the whole body
    bool sized = true;    // false: the size field does not say where it ends
};

// The first "fmt " chunk, as far as the file holds it.
struct SourceFormat {
    bool whole = false;     // the 16 fixed bytes (and an extensible format's 22) are there
    uint16_t tag = 0;       // as stored
    uint16_t sampleTag = 0; // the sub-format's tag for the extensible format
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};

struct Source {
    bool wave = false;  // a RIFF/RF64/BW64 header of form type WAVE
    FourCC container{}; // the magic, when it is one of the three
    bool wide = false;  // RF64 or BW64
    uint64_t fileBytes = 0;
    std::optional<uint64_t> riffSize;      // when set (through ds64 for RF64/BW64)
    std::vector<SourceChunk> chunks;       // in file order
    std::optional<size_t> data, fmt, ds64; // the first of each, into chunks
    std::optional<SourceFormat> format;
    std::vector<Ds64Entry> ds64Table; // the first ds64's table of other sizes
    // The listed chunks end here; what follows to the end of the file is
    // trailing bytes, or another file.
    std::optional<uint64_t> trailingAt;
    std::optional<uint64_t> otherFileAt;
    bool walkCut = false; // the walk stopped at its chunk limit
    int readError = 0;    // errno of a failed read
};

// Describes the file open on `fd`, `fileBytes` long.
Source DescribeSource(int fd, uint64_t fileBytes);

} // namespace sondrel
