// The text modes' per-file driver: opens the file, checks its header and
// walks its chunks, handing each one to the handler the option flags select.
#include "text/dump.h"

#include "io.h"
#include "status.h"
#include "text/export.h"
#include "text/flags.h"
#include "text/report.h"
#include "text/stream.h"
#include "text/walk_state.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sondrel {

namespace
{

int RIFFOpen(const char* filename)
{
    assert(filename);
    int fd = open(filename, O_RDONLY);
    if (fd < 0)
        ReportError("Can't open file for reading");
    return fd;
}

// Closes the walk's descriptor on every path out, a fatal stop that a test
// turns into an exception included.
struct OpenFile {
    int fd;
    ~OpenFile()
    {
        if (fd >= 0)
            close(fd);
    }
};

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
    size_t got = RIFFRead(w.fd(), head, sizeof head, &failed);
    if (failed)
        return false;
    if (got != 8 || MagicOf(head) == Magic::Other) {
        NotAWaveFile();
        return false;
    }
    w.walk.rf64 = MagicOf(head) == Magic::Rf64;
    unsigned char form[4];
    got = RIFFRead(w.fd(), form, sizeof form, &failed);
    if (failed)
        return false;
    if (got != 4 || memcmp(form, "WAVE", 4) != 0) {
        NotAWaveFile();
        return false;
    }
    return RIFFChunkNext(w.fd(), FirstChunkOffset);
}

void PrintSummaryLine(const WalkState& w)
{
    const ChunkHeader& h = w.header();
    const uint64_t listed =
        (w.walk.rf64 && IdIs(h, "data")) ? w.ds64.Size(h.id, SizeFromDs64).value_or(0) : h.size;
    printf("Chunk [%.4s] %12llu bytes\n", h.id.data(), static_cast<unsigned long long>(listed));
}

// The ds64 body is read whatever the options: the data size lives there.
void ReadDs64(WalkState& w)
{
    unsigned char body[Ds64FixedBytes];
    const size_t got = RIFFRead(w.fd(), body, sizeof body);
    // Fewer than 16 bytes leave the earlier data size in force.
    if (got >= 16)
        w.ds64.Take(DecodeDs64(body, got));
}

void Dispatch(WalkState& w)
{
    const ChunkHeader& h = w.header();
    if (WantRawChunks) {
        if (!IdIs(h, "data") && h.size <= 4095)
            RIFFDumpChunk(*w.exportStream, w.fd(), w.walk.chunkOffset, w.walk.steppedSize);
        return;
    }
    if (IdIs(h, "bext"))
        BextChunk(w);
    else if (IdIs(h, "iXML")) {
        if (WantiXML)
            IXMLChunk(w);
    } else if (IdIs(h, "fmt "))
        FmtChunk(w);
    else if (IdIs(h, "data")) {
        if (WantData)
            DataChunk(w);
    }
}

// The text modes' walk: sequential reads that report failures, sizes as
// the header and the ds64 data size give them, the handlers in turn.
class TextWalker final : public ChunkWalker
{
  public:
    explicit TextWalker(WalkState& state) : w(state) {}

    bool ReadHeader(Walk& walk) override
    {
        unsigned char raw[8];
        if (RIFFRead(walk.fd, raw, sizeof raw) != 8)
            return false; // end of file, a header cut short, or a reported failure
        walk.header = HeaderOf(raw);
        return true;
    }

    bool SizeChunk(Walk& walk) override
    {
        const bool fromDs64 =
            walk.rf64 && IdIs(walk.header, "data") && walk.header.size == SizeFromDs64;
        w.audioSize = fromDs64 ? w.ds64.Size(walk.header.id, walk.header.size).value_or(0)
                               : walk.header.size;
        w.resolvedSize = fromDs64 ? RoundUpToEven(w.audioSize) : w.audioSize;
        walk.steppedSize = RoundUpToEven(w.resolvedSize);
        return walk.steppedSize != 0; // a zero size ends the walk: recorders pad files with zeros
    }

    bool VisitChunk(Walk& walk) override
    {
        if (WantChunks)
            PrintSummaryLine(w);
        if (walk.rf64 && IdIs(walk.header, "ds64"))
            ReadDs64(w);
        Dispatch(w);
        return true;
    }

    bool MoveTo(Walk& walk, std::optional<uint64_t> next) override
    {
        if (!next) {
            errno = EINVAL;
            ReportError("RIFFChunkNext");
            return false;
        }
        return RIFFChunkNext(walk.fd, *next);
    }

  private:
    WalkState& w;
};

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
    ExportStream exportStream; // one per run: the export is keyed once
    WalkState w;
    w.exportStream = &exportStream;
    {
        OpenFile file{RIFFOpen(path)};
        w.walk.fd = file.fd;
        TextWalker walker(w);
        if (file.fd >= 0 && ReadFileHeader(w))
            WalkChunks(w.walk, walker);
    }
    WriteEndMarker();
}

} // namespace sondrel
