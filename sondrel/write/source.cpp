// The input file described for the writers.
#include "write/source.h"

#include "decode.h"
#include "io.h"
#include "riff.h"

#include <algorithm>
#include <cstring>

namespace
{

// The one place that reads the chunk walk: its results become a Source.
// Relies on: InspectWalk's answer; WalkState::magic, rf64, riffSize,
// haveDs64, ds64 (fieldBytes, riffSize, table), chunks (id, offset, size,
// complete, sizeUnset, sizeUnknown), notes (TrailingBytes with its offset,
// ChunkLimit) and readError.
Source FromWalk(int fd, uint64_t fileBytes)
{
    WalkState w;
    w.fd = fd;
    w.fileBytes = fileBytes;
    Source s;
    s.fileBytes = fileBytes;
    s.wave = InspectWalk(w);
    s.readError = w.readError;
    if (w.magic != FourCC{})
        s.container = w.magic;
    s.wide = w.rf64 != 0;
    // 0 and 0xFFFFFFFF say the size was never written.
    const uint64_t riffSize = !s.wide                                ? w.riffSize
                              : w.haveDs64 && w.ds64.fieldBytes >= 8 ? w.ds64.riffSize
                                                                     : 0;
    if (riffSize != 0 && riffSize != SizeFromDs64)
        s.riffSize = riffSize;
    if (w.haveDs64)
        for (const Ds64Entry& e : w.ds64.table)
            s.ds64Table.push_back({e.id, e.size});
    for (const WalkedChunk& c : w.chunks) {
        SourceChunk sc;
        sc.id = c.id;
        sc.offset = c.offset;
        sc.size = c.size;
        sc.inFile = std::min(c.size, fileBytes - std::min(fileBytes, c.offset + 8));
        sc.complete = c.complete;
        sc.sized = !c.sizeUnset && !c.sizeUnknown;
        s.chunks.push_back(sc);
    }
    for (const WalkNote& n : w.notes) {
        if (n.issue == WalkIssue::TrailingBytes)
            s.trailingAt = n.offset;
        if (n.issue == WalkIssue::ChunkLimit)
            s.walkCut = true;
    }
    return s;
}

bool IsFileMagic(const FourCC& id)
{
    return IdIs(id, "RIFF") || IdIs(id, "RF64") || IdIs(id, "BW64");
}

// Stand-in until the walk itself ends at another file's header and tells
// junk past the RIFF end from chunks: a file header where a chunk header is
// expected starts another file; past the RIFF end, a header is a chunk only
// with a printable id and a body that fits in the file.  Goes when the walk
// gives these (Source::otherFileAt, Source::trailingAt) itself.
void SplitPastRiffEnd(Source& s)
{
    const std::optional<uint64_t> riffEnd =
        s.riffSize ? std::optional<uint64_t>(*s.riffSize + 8) : std::nullopt;
    for (size_t i = 0; i < s.chunks.size(); i++) {
        const SourceChunk& c = s.chunks[i];
        if (IsFileMagic(c.id)) {
            s.otherFileAt = c.offset;
        } else if (riffEnd && c.offset >= *riffEnd && !(IsPrintableId(c.id) && c.complete)) {
            s.trailingAt = c.offset;
        } else {
            continue;
        }
        s.chunks.resize(i);
        return;
    }
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
    SourceFormat f;
    FormatBytes bytes{};
    std::copy_n(body, bytes.size(), bytes.begin());
    const WaveFormatRecord r = DecodeFormat(bytes);
    f.whole = got >= 16 && c.size >= 16;
    f.tag = f.sampleTag = r.formatTag;
    f.channels = r.nChannels;
    f.sampleRate = r.samplesPerSec;
    f.blockAlign = r.blockAlign;
    f.bitsPerSample = r.bitsPerSample;
    if (r.formatTag == TagExtensible) {
        const bool extended = got >= sizeof body && r.extraBytes >= FormatExtensionBytes;
        f.whole = f.whole && extended;
        ExtensionArea ext{};
        std::copy_n(body + WaveFormatRecordBytes, ext.size(), ext.begin());
        f.sampleTag = extended ? static_cast<uint16_t>(SubFormatGroup(DecodeExtension(ext))) : 0;
    }
    return f;
}

} // namespace

bool IsPrintableId(const FourCC& id)
{
    return std::all_of(id.begin(), id.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 0x20 && c <= 0x7E;
    });
}

Source DescribeSource(int fd, uint64_t fileBytes)
{
    Source s = FromWalk(fd, fileBytes);
    if (!s.wave)
        return s;
    SplitPastRiffEnd(s);
    s.data = FirstOf(s, "data");
    s.fmt = FirstOf(s, "fmt ");
    s.ds64 = FirstOf(s, "ds64");
    if (s.fmt)
        s.format = ReadFormat(fd, s.chunks[*s.fmt], s.readError);
    return s;
}
