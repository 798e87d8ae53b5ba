// RIFF/RF64/BW64 reader: opens the file, walks its chunks and hands each one
// to the handler that the option flags select.
#pragma once

#include "flags.h"

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
    WaveFormatRecord format{}; // filled by the "fmt " handler
    // First 32-bit group of an extensible format's sub-format GUID, kept only
    // when the "fmt " chunk delivered all 22 extension bytes.
    int hasSubFormat = 0;
    uint32_t subFormatGroup = 0;
};

// Per-file driver: walks the file at `path` and writes the end marker.
void DumpWaveFile(const char* path);

// Reports `label` with the system's text for errno, in the perror form, and
// marks the run as failed (exit status 1).
void ReportError(const char* label);

// Marks the run as failed without a message of its own.
void NoteFailure();

// Reports a failed write to standard output as "Writing output file" with
// the system's text, once per run: a full disk or a closed descriptor fails
// every later write as well, and one message says it.  Clears the stream's
// error mark, so a later flush reports only a new failure.
void ReportWriteFailure();

// Ends the process with status 1 after a fatal condition (its message already
// written).  A fuzzing harness sets FatalStopHook to regain control instead;
// the program itself never sets it.
[[noreturn]] void FatalStop();
extern void (*FatalStopHook)();

// 0 while every step succeeded, 1 after any reported failure.
int RunStatus();

// Reads up to `count` bytes, retrying short reads and interrupted calls, until
// the count, the end of the file or a failure.  Returns the bytes that arrived,
// also when a failure stopped it; a failure is reported as "RIFFRead" and sets
// *failed when given.
size_t RIFFRead(int fd, void* buffer, size_t count, bool* failed = nullptr);

// Seeks to an absolute offset; offsets that off_t cannot hold fail with EINVAL.
bool SeekTo(int fd, uint64_t offset);

// Little-endian loads from byte buffers (no alignment assumed).
inline uint16_t LoadLE16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLE32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLE64(const unsigned char* p)
{
    return static_cast<uint64_t>(LoadLE32(p)) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

inline bool IdIs(const ChunkHeader& h, const char (&id)[5])
{
    return std::memcmp(h.id.data(), id, 4) == 0;
}
