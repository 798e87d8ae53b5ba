// The input file described for the writers.
#include "write/source.h"

#include "decode.h"
#include "inspect/walk.h"
#include "io.h"

#include <algorithm>
#include <cstring>

namespace sondrel {

namespace
{

// The one place that reads the chunk walk: its results become a Source.
Source FromWalk(int fd, uint64_t fileBytes)
{
    const FileWalk w = WalkFile(fd, fileBytes);
    Source s;
    s.fileBytes = fileBytes;
    s.wave = w.isWave;
    s.readError = w.readError;
    s.container = w.magic;
    s.wide = w.rf64;
    if (w.riffEnd)
        s.riffSize = *w.riffEnd - 8;
    s.ds64Table = w.ds64.table;
    for (const WalkedChunk& c : w.chunks) {
        SourceChunk sc;
        sc.id = c.id;
        sc.offset = c.offset;
        sc.size = c.size;
        sc.inFile = std::min(c.size, w.BytesLeft(c.offset + 8));
        sc.complete = c.complete;
        sc.sized = !c.sizeUnset && !c.sizeUnknown;
        s.chunks.push_back(sc);
    }
    for (const WalkNote& n : w.notes) {
        if (n.issue == WalkIssue::TrailingBytes)
            s.trailingAt = n.offset;
        if (n.issue == WalkIssue::Concatenated)
            s.otherFileAt = n.offset;
        if (n.issue == WalkIssue::ChunkLimit)
            s.walkCut = true;
    }
    return s;
}

std::optional<size_t> FirstOf(const Source& s, const char (&id)[5])
{
    for (size_t i = 0; i < s.chunks.size(); i++)
        if (IdIs(s.chunks[i].id, id))
            return i;
    return std::nullopt;
}

SourceFormat ReadFormat(int fd, const SourceChunk& c, int& readError)
{
    unsigned char body[WaveFormatRecordBytes + FormatExtensionBytes] = {};
    const size_t want = static_cast<size_t>(std::min<uint64_t>(c.inFile, sizeof body));
    int error = 0;
    const size_t got = ReadAt(fd, c.offset + 8, body, want, &error);
    if (error != 0)
        readError = error;
    const FormatChunk chunk = DecodeFormatChunk(body, got);
    const WaveFormatRecord& r = chunk.record;
    SourceFormat f;
    // The 16 fixed bytes, and the extensible format's 22 more, must be there.
    f.whole = chunk.Has(0, 16) && c.size >= 16 &&
              (r.formatTag != TagExtensible || chunk.extension.has_value());
    f.tag = r.formatTag;
    f.sampleTag = r.formatTag != TagExtensible || chunk.extension ? chunk.sampleTag : 0;
    f.channels = r.nChannels;
    f.sampleRate = r.samplesPerSec;
    f.blockAlign = r.blockAlign;
    f.bitsPerSample = r.bitsPerSample;
    return f;
}

} // namespace

Source DescribeSource(int fd, uint64_t fileBytes)
{
    Source s = FromWalk(fd, fileBytes);
    if (!s.wave)
        return s;
    s.data = FirstOf(s, "data");
    s.fmt = FirstOf(s, "fmt ");
    s.ds64 = FirstOf(s, "ds64");
    if (s.fmt)
        s.format = ReadFormat(fd, s.chunks[*s.fmt], s.readError);
    return s;
}

} // namespace sondrel
