// The chunk walker.
#include "riff.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace
{

// The walk's descriptor while it is open, for ResetWalker.
int OpenDescriptor = -1;

int RIFFOpen(const char* filename)
{
    assert(filename);
    int fd = open(filename, O_RDONLY);
    if (fd < 0)
        ReportError("Can't open file for reading");
    return fd;
}

bool RIFFChunkNext(int fd, uint64_t offset)
{
    if (!SeekTo(fd, offset)) {
        ReportError("RIFFChunkNext");
        return false;
    }
    return true;
}

void NotAWaveFile()
{
    fputs("sondrel: Error: Not a WAVE file\n", stderr);
    NoteFailure();
}

// 1 for RF64/BW64, 0 for RIFF, -1 for anything else.
int MagicKind(const unsigned char* head)
{
    if (memcmp(head, "RF64", 4) == 0 || memcmp(head, "BW64", 4) == 0)
        return 1;
    return memcmp(head, "RIFF", 4) == 0 ? 0 : -1;
}

// Checks the 12-byte file header and sets the RF64 flag.
bool ReadFileHeader(WalkState& w)
{
    unsigned char head[8];
    bool failed = false;
    size_t got = RIFFRead(w.fd, head, sizeof head, &failed);
    if (failed)
        return false;
    if (got != 8) {
        NotAWaveFile();
        return false;
    }
    const int kind = MagicKind(head);
    if (kind < 0) {
        NotAWaveFile();
        return false;
    }
    w.rf64 = kind;
    unsigned char form[4];
    got = RIFFRead(w.fd, form, sizeof form, &failed);
    if (failed)
        return false;
    if (got != 4 || memcmp(form, "WAVE", 4) != 0) {
        NotAWaveFile();
        return false;
    }
    return RIFFChunkNext(w.fd, 12);
}

void Note(WalkState& w, WalkIssue issue, int chunk, uint64_t offset)
{
    w.notes.push_back({issue, chunk, offset});
}

// The inspector's header read: fewer than 8 bytes left is no chunk.
bool ReadInspectedHeader(WalkState& w, unsigned char* raw)
{
    if (w.chunkOffset >= w.fileBytes)
        return false; // the end, or past it after a truncated body
    if (w.fileBytes - w.chunkOffset < 8) {
        Note(w, WalkIssue::TrailingBytes, -1, w.chunkOffset);
        return false;
    }
    if (w.chunks.size() >= MaxWalkedChunks) {
        Note(w, WalkIssue::ChunkLimit, -1, w.chunkOffset);
        return false;
    }
    return InspectRead(w, w.chunkOffset, raw, 8) == 8;
}

// Reads the next chunk header at w.chunkOffset; false ends the walk.
bool ReadChunkHeader(WalkState& w)
{
    unsigned char raw[8];
    if (w.inspect) {
        if (!ReadInspectedHeader(w, raw))
            return false;
    } else if (RIFFRead(w.fd, raw, sizeof raw) != 8) {
        return false; // end of file, a header cut short, or a reported failure
    }
    memcpy(w.header.id.data(), raw, 4);
    w.header.size = LoadLE32(raw + 4);
    return true;
}

// A forged size of 2^64-1 stays as it is rather than wrapping to 0.
uint64_t RoundUpToEven(uint64_t size)
{
    return size == std::numeric_limits<uint64_t>::max() ? size : size + (size & 1);
}

uint32_t IdKey(const FourCC& id)
{
    return LoadLE32(reinterpret_cast<const unsigned char*>(id.data()));
}

bool IsPrintableId(const unsigned char* id)
{
    for (int n = 0; n < 4; n++)
        if (id[n] < 0x20 || id[n] > 0x7E)
            return false;
    return true;
}

// A "data" size of 0 is either an empty chunk, when a chunk header that fits
// the file follows, or a recording whose size was never written.
bool AudioFollowsEmptyData(WalkState& w)
{
    const uint64_t left = BytesLeft(w, w.bodyOffset);
    if (left == 0)
        return false;
    unsigned char next[8];
    if (left < 8 || InspectRead(w, w.bodyOffset, next, 8) != 8)
        return true;
    return !(IsPrintableId(next) && LoadLE32(next + 4) <= left - 8);
}

// The inspector's size of the current chunk: through ds64 (its data size and
// its table), or to the end of the file for an unfinalised recording.
void ResolveInspectedSize(WalkState& w, WalkedChunk& c)
{
    const bool isData = IdIs(w.header, "data");
    uint64_t size = w.header.size;
    bool unset = false;
    if (w.rf64 && w.header.size == SizeFromDs64) {
        const auto entry = w.ds64Sizes.find(IdKey(w.header.id));
        if (isData && w.haveDs64 && w.ds64.fieldBytes >= 16)
            size = w.ds64.dataSize;
        else if (entry != w.ds64Sizes.end())
            size = entry->second;
        else
            c.sizeUnknown = true;
        unset = c.sizeUnknown && isData;
    } else if (!w.rf64 && isData && w.header.size == SizeFromDs64) {
        unset = true;
    }
    if (isData && size == 0 && !c.sizeUnknown)
        unset = AudioFollowsEmptyData(w);
    if (unset) {
        size = BytesLeft(w, w.bodyOffset);
        c.sizeUnset = true;
    }
    c.size = size;
    w.steppedSize = RoundUpToEven(size);
}

// Works out the sizes of the current chunk.
void ResolveSizes(WalkState& w)
{
    w.bodyOffset = w.chunkOffset + 8;
    const bool fromDs64 = w.rf64 && IdIs(w.header, "data") && w.header.size == SizeFromDs64;
    w.audioSize = fromDs64 ? w.ds64DataSize : w.header.size;
    w.resolvedSize = fromDs64 ? RoundUpToEven(w.audioSize) : w.audioSize;
    w.steppedSize = RoundUpToEven(w.resolvedSize);
}

void PrintSummaryLine(const WalkState& w)
{
    uint64_t listed = (w.rf64 && IdIs(w.header, "data")) ? w.ds64DataSize : w.header.size;
    printf("Chunk [%.4s] %12llu bytes\n", w.header.id.data(),
           static_cast<unsigned long long>(listed));
}

// Fixed fields and a table of 87,379 entries: far more than any writer needs.
constexpr size_t Ds64ReadBytes = 28 + 87379 * 12;

// The ds64 body is read whatever the options: the data size lives there.
void ReadDs64(WalkState& w)
{
    if (w.inspect) {
        if (w.haveDs64)
            return; // the first ds64 sizes the file
        std::vector<unsigned char> body(std::min<uint64_t>(w.header.size, Ds64ReadBytes));
        const size_t got = InspectRead(w, w.bodyOffset, body.data(), body.size());
        w.ds64 = DecodeDs64(body.data(), got);
        w.haveDs64 = true;
        for (const Ds64Entry& e : w.ds64.table)
            w.ds64Sizes.emplace(IdKey(e.id), e.size); // the first entry for an id wins
        return;
    }
    unsigned char body[28];
    const size_t got = RIFFRead(w.fd, body, sizeof body);
    // Fewer than 16 bytes leave the earlier data size in force.
    if (got >= 16)
        w.ds64DataSize = DecodeDs64(body, got).dataSize;
}

// Offset of the chunk after the current one, or false when it cannot be a
// file offset: a forged ds64 size must not wrap the walk back to an earlier chunk.
bool NextChunkOffset(const WalkState& w, uint64_t& next)
{
    next = w.bodyOffset + w.steppedSize;
    if (next < w.bodyOffset || next > MaxFileOffset()) {
        if (w.inspect)
            return false; // the body already ran past the end of the file
        errno = EINVAL;
        ReportError("RIFFChunkNext");
        return false;
    }
    return true;
}

// The inspector goes on past a zero-size chunk, and stops at an all-zero
// header: zero padding.  Returns false to end the walk.
bool InspectedChunkStarts(WalkState& w)
{
    if (w.header.size == 0 && w.header.id == FourCC{}) {
        Note(w, WalkIssue::TrailingBytes, -1, w.chunkOffset);
        return false;
    }
    return true;
}

// Lists the chunk with what the file holds of it.  Returns false to end the walk.
bool RecordChunk(WalkState& w)
{
    WalkedChunk c{w.header.id, w.chunkOffset, 0, true, false, false};
    ResolveInspectedSize(w, c);
    const uint64_t room = BytesLeft(w, w.bodyOffset);
    c.complete = c.size <= room;
    w.chunks.push_back(c);
    const int index = static_cast<int>(w.chunks.size() - 1);
    if (c.sizeUnknown)
        Note(w, WalkIssue::Ds64Missing, index, c.offset);
    if (c.sizeUnset)
        Note(w, WalkIssue::DataSizeUnset, index, c.offset);
    if (!c.complete && !c.sizeUnknown)
        Note(w, WalkIssue::Truncated, index, c.offset);
    else if ((c.size & 1) && c.size == room && !c.sizeUnset && !c.sizeUnknown)
        Note(w, WalkIssue::PadByteMissing, index, c.offset); // no size was declared
    return c.complete && !c.sizeUnset && !c.sizeUnknown;
}

// The text modes hand the chunk to their handler; the inspector lists it.
bool VisitChunk(WalkState& w)
{
    if (!w.inspect) {
        if (w.handler)
            w.handler(w);
        return true;
    }
    return RecordChunk(w);
}

void WalkChunks(WalkState& w)
{
    for (;;) {
        if (!ReadChunkHeader(w))
            return;
        if (w.inspect) {
            w.bodyOffset = w.chunkOffset + 8; // sized when the chunk is listed
            if (!InspectedChunkStarts(w))
                return;
        } else {
            ResolveSizes(w);
            if (w.steppedSize == 0)
                return; // a zero size ends the walk: recorders pad files with zeros
        }
        if (WantChunks && !w.inspect)
            PrintSummaryLine(w);
        if (w.rf64 && IdIs(w.header, "ds64"))
            ReadDs64(w);
        if (!VisitChunk(w))
            return;
        uint64_t next = 0;
        if (!NextChunkOffset(w, next) || (!w.inspect && !RIFFChunkNext(w.fd, next)))
            return;
        w.chunkOffset = next;
    }
}

// The inspector's header check, quiet: the record says what went wrong.
bool ReadInspectedFileHeader(WalkState& w)
{
    unsigned char head[12];
    if (InspectRead(w, 0, head, sizeof head) != sizeof head)
        return false;
    const int kind = MagicKind(head);
    if (kind < 0)
        return false;
    memcpy(w.magic.data(), head, 4);
    w.rf64 = kind;
    w.riffSize = LoadLE32(head + 4);
    return memcmp(head + 8, "WAVE", 4) == 0;
}

} // namespace

size_t InspectRead(WalkState& w, uint64_t offset, void* buffer, size_t count)
{
    int error = 0;
    const size_t got = ReadAt(w.fd, offset, buffer, count, &error);
    if (error != 0)
        w.readError = error;
    return got;
}

uint64_t BytesLeft(const WalkState& w, uint64_t offset)
{
    return w.fileBytes - std::min(offset, w.fileBytes);
}

void WalkWaveFile(const char* path, ChunkHandler handler)
{
    WalkState w;
    w.handler = handler;
    w.fd = RIFFOpen(path);
    if (w.fd >= 0) {
        OpenDescriptor = w.fd;
        if (ReadFileHeader(w))
            WalkChunks(w);
        close(w.fd);
        OpenDescriptor = -1;
    }
}

void ResetWalker()
{
    if (OpenDescriptor >= 0)
        close(OpenDescriptor);
    OpenDescriptor = -1;
}

bool InspectWalk(WalkState& w)
{
    w.inspect = true;
    if (!ReadInspectedFileHeader(w))
        return false;
    WalkChunks(w);
    return true;
}
