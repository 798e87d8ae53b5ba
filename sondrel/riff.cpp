// The chunk walker.
#include "riff.h"

#include "export.h"
#include "report.h"
#include "stream.h"

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
    if (memcmp(head, "RF64", 4) == 0 || memcmp(head, "BW64", 4) == 0) {
        w.rf64 = 1;
    } else if (memcmp(head, "RIFF", 4) == 0) {
        w.rf64 = 0;
    } else {
        NotAWaveFile();
        return false;
    }
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

// Reads the next chunk header at w.chunkOffset; false ends the walk.
bool ReadChunkHeader(WalkState& w)
{
    unsigned char raw[8];
    if (RIFFRead(w.fd, raw, sizeof raw) != 8)
        return false; // end of file, a header cut short, or a reported failure
    memcpy(w.header.id.data(), raw, 4);
    w.header.size = LoadLE32(raw + 4);
    return true;
}

// A forged size of 2^64-1 stays as it is rather than wrapping to 0.
uint64_t RoundUpToEven(uint64_t size)
{
    return size == std::numeric_limits<uint64_t>::max() ? size : size + (size & 1);
}

// Works out the sizes of the current chunk.
void ResolveSizes(WalkState& w)
{
    const bool fromDs64 = w.rf64 && IdIs(w.header, "data") && w.header.size == SizeFromDs64;
    w.audioSize = fromDs64 ? w.ds64DataSize : w.header.size;
    w.resolvedSize = fromDs64 ? RoundUpToEven(w.audioSize) : w.audioSize;
    w.steppedSize = RoundUpToEven(w.resolvedSize);
    w.bodyOffset = w.chunkOffset + 8;
}

void PrintSummaryLine(const WalkState& w)
{
    uint64_t listed = (w.rf64 && IdIs(w.header, "data")) ? w.ds64DataSize : w.header.size;
    printf("Chunk [%.4s] %12llu bytes\n", w.header.id.data(),
           static_cast<unsigned long long>(listed));
}

// The ds64 body is read whatever the options: the data size lives there.
void ReadDs64(WalkState& w)
{
    unsigned char body[28];
    if (RIFFRead(w.fd, body, sizeof body) >= 16)
        w.ds64DataSize = LoadLE64(body + 8);
    // Fewer than 16 bytes leave the earlier data size in force.
}

void Dispatch(WalkState& w)
{
    if (WantRawChunks) {
        if (!IdIs(w.header, "data") && w.header.size <= 4095)
            RIFFDumpChunk(w.fd, w.chunkOffset, w.steppedSize);
        return;
    }
    if (IdIs(w.header, "bext"))
        BextChunk(w);
    else if (IdIs(w.header, "iXML")) {
        if (WantiXML)
            IXMLChunk(w);
    } else if (IdIs(w.header, "fmt "))
        FmtChunk(w);
    else if (IdIs(w.header, "data")) {
        if (WantData)
            DataChunk(w);
    }
}

// Offset of the chunk after the current one, or false when it cannot be a
// file offset: a forged ds64 size must not wrap the walk back to an earlier chunk.
bool NextChunkOffset(const WalkState& w, uint64_t& next)
{
    next = w.bodyOffset + w.steppedSize;
    if (next < w.bodyOffset || next > MaxFileOffset()) {
        errno = EINVAL;
        ReportError("RIFFChunkNext");
        return false;
    }
    return true;
}

void WalkChunks(WalkState& w)
{
    for (;;) {
        if (!ReadChunkHeader(w))
            return;
        ResolveSizes(w);
        // A zero size ends the walk: recorders pad files with zeros.
        if (w.steppedSize == 0)
            return;
        if (WantChunks)
            PrintSummaryLine(w);
        if (w.rf64 && IdIs(w.header, "ds64"))
            ReadDs64(w);
        Dispatch(w);
        uint64_t next = 0;
        if (!NextChunkOffset(w, next) || !RIFFChunkNext(w.fd, next))
            return;
        w.chunkOffset = next;
    }
}

void WriteEndMarker()
{
    if (WantRawChunks)
        putchar('\n');
    else
        fputs("+OK\n", stderr);
}

} // namespace

void DumpWaveFile(const char* path)
{
    WalkState w;
    w.fd = RIFFOpen(path);
    if (w.fd >= 0) {
        OpenDescriptor = w.fd;
        if (ReadFileHeader(w))
            WalkChunks(w);
        close(w.fd);
        OpenDescriptor = -1;
    }
    WriteEndMarker();
}

void ResetWalker()
{
    if (OpenDescriptor >= 0)
        close(OpenDescriptor);
    OpenDescriptor = -1;
}
