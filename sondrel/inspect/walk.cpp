// The inspector's walk.
#include "inspect/walk.h"

#include "io.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sondrel {

namespace
{

void Note(FileWalk& f, WalkIssue issue, int chunk, uint64_t offset, FourCC id = {})
{
    f.notes.push_back({issue, chunk, offset, id});
}

// Fixed fields and a table of 87,379 entries: far more than any writer needs.
constexpr size_t Ds64ReadBytes = Ds64FixedBytes + 87379 * 12;

class InspectWalker final : public ChunkWalker
{
  public:
    explicit InspectWalker(FileWalk& file) : f(file) {}
    bool ReadHeader(Walk& w) override { return NextHeader(w); }
    bool SizeChunk(Walk& w) override { return Size(w); }
    bool VisitChunk(Walk& w) override { return List(w); }
    bool MoveTo(Walk&, std::optional<uint64_t> next) override
    {
        return next.has_value(); // past the largest offset: the body ran past the end already
    }

  private:
    bool NextHeader(Walk& w);
    bool Size(Walk& w);
    bool List(Walk& w);
    std::optional<uint64_t> ResolvedSize(const Walk& w, const FourCC& id, uint32_t field) const;
    bool StartsAChunk(const Walk& w, const unsigned char* raw);
    bool AudioFollowsEmptyData(const Walk& w);
    void ReadDs64(const Walk& w);

    FileWalk& f;
    WalkedChunk current{};
};

// Fewer than 8 bytes left is no chunk; an all-zero header is zero padding.
bool InspectWalker::NextHeader(Walk& w)
{
    if (w.chunkOffset >= f.fileBytes)
        return false; // the end, or past it after a truncated body
    if (f.fileBytes - w.chunkOffset < 8) {
        Note(f, WalkIssue::TrailingBytes, -1, w.chunkOffset);
        return false;
    }
    if (f.chunks.size() >= MaxWalkedChunks) {
        Note(f, WalkIssue::ChunkLimit, -1, w.chunkOffset);
        return false;
    }
    unsigned char raw[8];
    if (f.Read(w.chunkOffset, raw, 8) != 8 || !StartsAChunk(w, raw))
        return false;
    w.header = HeaderOf(raw);
    return true;
}

// Another file's header ends the walk; so does an all-zero header (zero
// padding) and, past the RIFF end, anything but a printable id whose body
// fits: junk appended to a finished file is not a truncated chunk.
bool InspectWalker::StartsAChunk(const Walk& w, const unsigned char* raw)
{
    const FourCC id = IdAt(raw);
    if (MagicOf(raw) != Magic::Other) {
        Note(f, WalkIssue::Concatenated, -1, w.chunkOffset, id);
        return false;
    }
    static constexpr unsigned char Zeros[8] = {};
    const bool padding = std::memcmp(raw, Zeros, 8) == 0;
    const bool pastEnd = f.riffEnd && w.chunkOffset >= *f.riffEnd;
    // An unfinalised recording's audio fits whatever it holds: its size is
    // 0 or one that ds64 does not give.
    const auto fits = [&] {
        const std::optional<uint64_t> size = ResolvedSize(w, id, LoadLE32(raw + 4));
        return size ? *size == 0 || *size <= f.BytesLeft(w.chunkOffset + 8) : IdIs(id, "data");
    };
    if (padding || (pastEnd && !(IsPrintableId(raw) && fits()))) {
        Note(f, WalkIssue::TrailingBytes, -1, w.chunkOffset);
        return false;
    }
    return true;
}

// A "data" size of 0 is either an empty chunk, when a chunk header that fits
// the file follows, or a recording whose size was never written.
bool InspectWalker::AudioFollowsEmptyData(const Walk& w)
{
    const uint64_t left = f.BytesLeft(w.bodyOffset);
    if (left == 0)
        return false;
    unsigned char next[8];
    if (left < 8 || f.Read(w.bodyOffset, next, 8) != 8)
        return true;
    return !(IsPrintableId(next) && LoadLE32(next + 4) <= left - 8);
}

// The size through ds64 in RF64/BW64; a plain RIFF "data" of 0xFFFFFFFF is
// an unfinalised recording's.
std::optional<uint64_t> InspectWalker::ResolvedSize(const Walk& w, const FourCC& id,
                                                    uint32_t field) const
{
    if (!w.rf64 && field == SizeFromDs64)
        return IdIs(id, "data") ? std::nullopt : std::optional<uint64_t>(field);
    return f.ds64.Size(id, field);
}

bool InspectWalker::Size(Walk& w)
{
    if (w.rf64 && IdIs(w.header, "ds64"))
        ReadDs64(w); // a ds64 table may size the ds64 chunk itself
    current = WalkedChunk{w.header.id, w.chunkOffset, 0, true, false, false};
    const bool isData = IdIs(w.header, "data");
    const std::optional<uint64_t> resolved = ResolvedSize(w, w.header.id, w.header.size);
    uint64_t size = resolved.value_or(w.header.size);
    // A plain RIFF "data" of 0xFFFFFFFF is never finished; in RF64/BW64 an
    // unsized chunk is ds64-missing, and a "data" one runs to the end too.
    current.sizeUnknown = w.rf64 && !resolved;
    bool unset = !resolved && isData;
    if (isData && size == 0 && !current.sizeUnknown)
        unset = AudioFollowsEmptyData(w);
    if (unset) {
        size = f.BytesLeft(w.bodyOffset);
        current.sizeUnset = true;
    }
    current.size = size;
    w.steppedSize = RoundUpToEven(size);
    return true;
}

void InspectWalker::ReadDs64(const Walk& w)
{
    if (f.ds64.Have())
        return; // the first ds64 sizes the file
    std::vector<unsigned char> body(std::min<uint64_t>(w.header.size, Ds64ReadBytes));
    const size_t got = f.Read(w.bodyOffset, body.data(), body.size());
    f.ds64.Take(DecodeDs64(body.data(), got));
    if (f.ds64.Record().fieldBytes >= 8)
        f.riffEnd = EndFromSize(f.ds64.Record().riffSize);
}

// Lists the chunk with what the file holds of it.
bool InspectWalker::List(Walk& w)
{
    WalkedChunk& c = current;
    const uint64_t room = f.BytesLeft(w.bodyOffset);
    c.complete = c.size <= room;
    f.chunks.push_back(c);
    const int index = static_cast<int>(f.chunks.size() - 1);
    if (c.sizeUnknown)
        Note(f, WalkIssue::Ds64Missing, index, c.offset);
    if (c.sizeUnset && !c.sizeUnknown)
        Note(f, WalkIssue::DataSizeUnset, index, c.offset);
    if (!c.complete && !c.sizeUnknown)
        Note(f, WalkIssue::Truncated, index, c.offset);
    else if ((c.size & 1) && c.size == room && !c.sizeUnset && !c.sizeUnknown)
        Note(f, WalkIssue::PadByteMissing, index, c.offset); // no size was declared
    return c.complete && !c.sizeUnset && !c.sizeUnknown;
}

// The header check, quiet: the record says what went wrong.
bool ReadFileHeader(FileWalk& f, Walk& w)
{
    unsigned char head[12];
    const size_t got = f.Read(0, head, sizeof head);
    const Magic magic = got >= 4 ? MagicOf(head) : Magic::Other;
    if (magic == Magic::Other)
        return false;
    std::memcpy(f.magic.data(), head, 4); // the magic, even of a file too short for a header
    if (got < sizeof head)
        return false;
    f.rf64 = w.rf64 = magic == Magic::Rf64;
    f.riffSize = LoadLE32(head + 4);
    if (!f.rf64)
        f.riffEnd = EndFromSize(f.riffSize);
    return std::memcmp(head + 8, "WAVE", 4) == 0;
}

} // namespace

size_t FileWalk::Read(uint64_t offset, void* buffer, size_t count)
{
    int error = 0;
    const size_t got = read(offset, buffer, count, &error);
    if (error != 0)
        readError = error;
    return got;
}

uint64_t FileWalk::BytesLeft(uint64_t offset) const
{
    return fileBytes - std::min(offset, fileBytes);
}

std::vector<unsigned char> FileWalk::ReadBody(const WalkedChunk& c, uint64_t limit)
{
    std::vector<unsigned char> body(std::min({c.size, BytesLeft(c.offset + 8), limit}));
    body.resize(Read(c.offset + 8, body.data(), body.size()));
    return body;
}

FileWalk WalkBytes(ByteReader read, uint64_t fileBytes)
{
    FileWalk f;
    f.read = std::move(read);
    f.fileBytes = fileBytes;
    Walk w;
    f.isWave = ReadFileHeader(f, w);
    if (f.isWave) {
        InspectWalker walker(f);
        WalkChunks(w, walker);
    }
    return f;
}

FileWalk WalkFile(int fd, uint64_t fileBytes)
{
    FileWalk f = WalkBytes(FileReader(fd), fileBytes);
    f.fd = fd;
    return f;
}

} // namespace sondrel
