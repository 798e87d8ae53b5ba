// The one chunk walker over RIFF/RF64/BW64 WAVE files.  The loop is the same
// for every mode; a mode plugs in through ChunkWalker: how it reads a header,
// how it sizes a chunk, what it does with it and how it moves on.
#pragma once

#include "bytes.h"
#include "decode.h"

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace sondrel {

// The 8-byte chunk header as stored: four raw id bytes and a 32-bit size that
// counts neither the header nor the pad byte after an odd-sized body.
struct ChunkHeader {
    FourCC id;
    uint32_t size;
};

// The header stored in the 8 bytes at `raw`.
inline ChunkHeader HeaderOf(const unsigned char* raw)
{
    return {IdAt(raw), LoadLE32(raw + 4)};
}

// The size field value that RF64/BW64 files use to say "see ds64".
constexpr uint32_t SizeFromDs64 = 0xFFFFFFFFu;

// What sizes the chunks of an RF64/BW64 file: its ds64 record, an id's
// table entry found without a scan (a forged table holds 87,379 entries).
class Ds64Sizes
{
  public:
    // Takes the record; the first table entry for an id wins.
    void Take(Ds64Record record);
    bool Have() const { return have_; }
    const Ds64Record& Record() const { return record_; }
    // The size a header's field gives: 0xFFFFFFFF defers to ds64, the data
    // size for "data" (when ds64 holds its 16 bytes) and the table's entry
    // for another id.  Null when nothing sizes it; the field otherwise.
    std::optional<uint64_t> Size(const FourCC& id, uint32_t field) const;

  private:
    bool have_ = false;
    Ds64Record record_;
    std::unordered_map<uint32_t, uint64_t> byId_;
};

// The first chunk header follows the 12-byte file header.
constexpr uint64_t FirstChunkOffset = 12;

// Where the walk stands in one file; the same for every mode.
struct Walk {
    int fd = -1;
    bool rf64 = false; // magic "RF64" or "BW64"
    uint64_t chunkOffset = FirstChunkOffset;
    ChunkHeader header{};     // the current chunk's header, as stored
    uint64_t bodyOffset = 0;  // chunkOffset + 8
    uint64_t steppedSize = 0; // set by the mode's sizing: the body and its pad byte
};

// A mode of the walk.  Every step returns false to end the walk there.
class ChunkWalker
{
  public:
    virtual ~ChunkWalker() = default;
    // Reads the header at w.chunkOffset into w.header.
    virtual bool ReadHeader(Walk& w) = 0;
    // Works out the chunk's sizes, w.steppedSize among them.
    virtual bool SizeChunk(Walk& w) = 0;
    // Handles the chunk.
    virtual bool VisitChunk(Walk& w) = 0;
    // Moves to the header at `next`; null when the chunk's size points past
    // the largest file offset (a forged size must not wrap the walk back).
    virtual bool MoveTo(Walk& w, std::optional<uint64_t> next) = 0;
};

// Walks the chunks from w.chunkOffset until a step ends it.
void WalkChunks(Walk& w, ChunkWalker& mode);

// What the first four bytes of a file say.
enum class Magic { Riff, Rf64, Other };
Magic MagicOf(const unsigned char* head);

// A forged size of 2^64-1 stays as it is rather than wrapping to 0.
constexpr uint64_t RoundUpToEven(uint64_t size)
{
    return size == UINT64_MAX ? size : size + (size & 1);
}

// Where a RIFF size field (or ds64's) says the file ends; none for the
// 0 or 0xFFFFFFFF that recorders leave until they finalise, or for a forged
// 64-bit size that would wrap the end back to the start.
std::optional<uint64_t> EndFromSize(uint64_t riffSize);

// Four printable ASCII characters: what a real chunk id looks like.
bool IsPrintableId(const unsigned char* id);

inline bool IdIs(const ChunkHeader& h, const char (&id)[5])
{
    return IdIs(h.id, id);
}

// JUNK, PAD  and FLLR: chunks that hold nothing, room left by a recorder or
// an editor that a new chunk may take.
inline bool IsFiller(const FourCC& id)
{
    return IdIs(id, "JUNK") || IdIs(id, "PAD ") || IdIs(id, "FLLR");
}

} // namespace sondrel
