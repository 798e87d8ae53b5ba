// The file's structure in the record.
#include "inspect/structure.h"

#include "file_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace sondrel {

namespace
{

std::string BytesText(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// How much of a cut chunk is missing; for the audio also in seconds, when
// the format says how long a byte lasts.
std::string MissingText(const WalkedChunk& c, uint64_t inFile,
                        const std::optional<FormatChunk>& fmt)
{
    const uint64_t missing = c.size - inFile;
    std::string text = BytesText(missing);
    if (IdIs(c.id, "data") && fmt && fmt->Has(FmtRate, 4) && fmt->Has(FmtBlockAlign, 2) &&
        fmt->record.samplesPerSec > 0 && fmt->record.blockAlign > 0) {
        const double seconds =
            static_cast<double>(missing) / fmt->record.blockAlign / fmt->record.samplesPerSec;
        char figure[64];
        snprintf(figure, sizeof figure, "%.2f", seconds);
        if (std::string(figure) == "0.00")
            snprintf(figure, sizeof figure, "%.6f", seconds); // never "0.00" for a loss
        text += std::string(" (") + figure + " seconds)";
    }
    return text + (missing == 1 ? " is" : " are") + " missing.";
}

// " (12.00 seconds)" for `bytes` of audio, when the format says how long
// they last: in frames, or for other formats by the byte rate.
std::string SecondsText(const std::optional<FormatChunk>& fmt, uint64_t bytes)
{
    if (!fmt || !fmt->Has(FmtRate, 4) || fmt->record.samplesPerSec == 0)
        return {};
    const WaveFormatRecord& v = fmt->record;
    std::optional<uint64_t> frames = AdpcmFrames(*fmt, bytes);
    if (fmt->Has(FmtTag, 2) && IsLinearTag(fmt->sampleTag) && fmt->Has(FmtBlockAlign, 2) &&
        v.blockAlign > 0)
        frames = bytes / v.blockAlign;
    double seconds = 0;
    if (frames)
        seconds = static_cast<double>(*frames) / v.samplesPerSec;
    else if (fmt->Has(FmtByteRate, 4) && v.avgBytesPerSec > 0)
        seconds = static_cast<double>(bytes) / v.avgBytesPerSec;
    else
        return {};
    char figure[64];
    snprintf(figure, sizeof figure, "%.2f", seconds);
    if (std::string(figure) == "0.00")
        snprintf(figure, sizeof figure, "%.6f", seconds); // never "0.00" for some audio
    return std::string(" (") + figure + " seconds)";
}

// The first offset from `at` on that is not in a hole of the file: holes
// read as zeros, and a sparse or preallocated tail can be gigabytes long.
uint64_t SkipHole(const FileWalk& f, uint64_t at)
{
    if (f.fd < 0)
        return at;
    const off_t data = lseek(f.fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0)
        return errno == ENXIO ? f.fileBytes : at; // ENXIO: no data after `at`
    return std::max(at, static_cast<uint64_t>(data));
}

// Whether a byte from `from` to the end of the file is not zero.
bool AnyNonZero(FileWalk& f, uint64_t from)
{
    std::vector<unsigned char> block(64 * 1024);
    for (uint64_t at = SkipHole(f, from); at < f.fileBytes; at = SkipHole(f, at)) {
        const size_t got =
            f.Read(at, block.data(), std::min<uint64_t>(block.size(), f.BytesLeft(at)));
        if (got == 0)
            return false;
        if (std::any_of(block.begin(), block.begin() + static_cast<long>(got),
                        [](unsigned char b) { return b != 0; }))
            return true;
        at += got;
    }
    return false;
}

// A header written when the recording began and never again: the data chunk
// is the last, the RIFF size ends with it, and at least a frame of bytes that
// are neither a chunk nor zero padding follows.  Returns where they start.
std::optional<uint64_t> StaleAudioStart(const Record& r, FileWalk& f, const WalkNote& n)
{
    if (n.issue != WalkIssue::TrailingBytes || r.chunks.empty() || !f.riffEnd)
        return std::nullopt;
    const WalkedChunk& data = r.chunks.back();
    if (!IdIs(data.id, "data") || data.sizeUnset || data.sizeUnknown || !data.complete)
        return std::nullopt;
    const uint64_t end = data.offset + 8 + data.size, padded = end + (data.size & 1);
    const bool riffEndsThere = *f.riffEnd == end || *f.riffEnd == padded;
    const bool frame = r.format && r.format->Has(FmtBlockAlign, 2) &&
                       r.format->record.blockAlign > 0 &&
                       f.BytesLeft(end) >= r.format->record.blockAlign;
    if (!riffEndsThere || n.offset != padded || !frame || !AnyNonZero(f, end))
        return std::nullopt;
    return end;
}

void AddStaleFinding(Record& r, const FileWalk& f, uint64_t start)
{
    const WalkedChunk& data = r.chunks.back();
    const uint64_t bytes = f.BytesLeft(start);
    AddChunkFinding(r.findings, Code::DataSizeStale, data.id, data.offset,
                    "The data size and the RIFF size end " + BytesText(bytes) +
                        SecondsText(r.format, bytes) +
                        " before the end of the file: a header written when the recording "
                        "began and never updated; those bytes may be audio.");
}

void AddWalkFinding(Record& r, const FileWalk& f, const WalkNote& n)
{
    const WalkedChunk* c = n.chunk >= 0 ? &r.chunks[static_cast<size_t>(n.chunk)] : nullptr;
    Findings& out = r.findings;
    switch (n.issue) {
    case WalkIssue::Truncated:
        AddChunkFinding(out, Code::ChunkTruncated, c->id, c->offset,
                        "The " + Quoted(c->id) + " chunk runs past the end of the file: " +
                            MissingText(*c, f.BytesLeft(c->offset + 8), r.format));
        break;
    case WalkIssue::PadByteMissing:
        AddChunkFinding(out, Code::PadByteMissing, c->id, c->offset,
                        "The file ends after the odd-sized " + Quoted(c->id) +
                            " chunk without its pad byte.");
        break;
    case WalkIssue::DataSizeUnset:
        AddChunkFinding(out, Code::DataSizeUnset, c->id, c->offset,
                        "The data size was never written (an unfinalised recording); the "
                        "audio is taken to the end of the file.");
        break;
    case WalkIssue::Ds64Missing:
        AddChunkFinding(out, Code::Ds64Missing, c->id, c->offset,
                        "The " + Quoted(c->id) +
                            " chunk's size is 0xFFFFFFFF and no ds64 chunk before it sizes it.");
        break;
    case WalkIssue::TrailingBytes: {
        const uint64_t left = f.BytesLeft(n.offset);
        AddOffsetFinding(out, Code::TrailingBytes, n.offset,
                         BytesText(left) + " after the last chunk " + (left == 1 ? "does" : "do") +
                             " not make a chunk.");
        break;
    }
    case WalkIssue::Concatenated:
        AddChunkFinding(out, Code::ConcatenatedFile, n.id, n.offset,
                        "Another file starts here: a " + Quoted(n.id) +
                            " header where a chunk header is expected.");
        break;
    case WalkIssue::ChunkLimit:
        AddOffsetFinding(out, Code::ChunkLimit, n.offset,
                         "The walk stopped after " + std::to_string(MaxWalkedChunks) + " chunks.");
        break;
    }
}

// Expected size of the RIFF size field, when the file says one.
void CheckRiffSize(Record& r, const FileWalk& f)
{
    std::optional<uint64_t> declared;
    if (!f.rf64)
        declared = f.riffSize;
    else if (f.ds64.Have() && f.ds64.Record().fieldBytes >= 8)
        declared = f.ds64.Record().riffSize;
    if (declared && f.fileBytes >= 8 && *declared != f.fileBytes - 8)
        AddFileFinding(r.findings, Code::RiffSizeMismatch,
                       "The RIFF size is " + std::to_string(*declared) +
                           ", the file length minus 8 is " + std::to_string(f.fileBytes - 8) + ".");
}

// A check that needs a field the file does not hold is not made.
void CheckFormat(Record& r, const WalkedChunk& c, const FormatChunk& f)
{
    if (!f.Has(FmtTag, 2) || !IsLinearTag(f.sampleTag) || !f.Has(FmtBlockAlign, 2))
        return;
    const WaveFormatRecord& v = f.record;
    const uint64_t align = ExpectedBlockAlign(v.nChannels, v.bitsPerSample);
    if (f.Has(FmtBits, 2) && v.blockAlign != align)
        AddChunkFinding(r.findings, Code::BlockAlignMismatch, c.id, c.offset,
                        "The block align is " + std::to_string(v.blockAlign) + ", " +
                            std::to_string(v.nChannels) + " channels of " +
                            std::to_string(v.bitsPerSample) + " bits need " +
                            std::to_string(align) + ".");
    const uint64_t rate = uint64_t{v.samplesPerSec} * v.blockAlign;
    if (f.Has(FmtByteRate, 4) && v.avgBytesPerSec != rate)
        AddChunkFinding(r.findings, Code::ByteRateMismatch, c.id, c.offset,
                        "The byte rate is " + std::to_string(v.avgBytesPerSec) +
                            ", the sample rate times the block align is " + std::to_string(rate) +
                            ".");
}

// The sample count of a "fact" chunk; in RF64/BW64 0xFFFFFFFF defers to ds64.
std::optional<uint64_t> FactFrames(FileWalk& f, const WalkedChunk* fact)
{
    if (!fact)
        return std::nullopt;
    const std::vector<unsigned char> body = f.ReadBody(*fact, 4);
    if (body.size() < 4)
        return std::nullopt;
    const uint32_t count = LoadLE32(body.data());
    if (f.rf64 && count == 0xFFFFFFFFu && f.ds64.Have() && f.ds64.Record().fieldBytes >= 24)
        return f.ds64.Record().sampleCount;
    return count;
}

AudioInfo DescribeAudio(Record& r, FileWalk& f, const Singles& s)
{
    const WalkedChunk& c = *s.data;
    AudioInfo a;
    a.offset = c.offset + 8;
    if (!c.sizeUnset && !c.sizeUnknown)
        a.bytes = c.size;
    a.bytesInFile = std::min(c.size, f.BytesLeft(a.offset));
    r.across.factCount = FactFrames(f, s.fact);
    const FormatChunk* fmt = r.format ? &*r.format : nullptr;
    if (fmt && fmt->Has(FmtTag, 2) && IsLinearTag(fmt->sampleTag)) {
        const uint16_t align = fmt->record.blockAlign;
        if (fmt->Has(FmtBlockAlign, 2) && align > 0) {
            a.frames = a.bytesInFile / align;
            if (a.bytesInFile % align != 0)
                AddChunkFinding(r.findings, Code::PartialFrame, c.id, c.offset,
                                "The audio ends inside a frame: " + std::to_string(a.bytesInFile) +
                                    " bytes are not a whole number of " + std::to_string(align) +
                                    "-byte frames.");
        }
    } else {
        if (fmt)
            r.across.blockFrames = AdpcmFrames(*fmt, a.bytesInFile);
        a.frames = r.across.factCount ? r.across.factCount : r.across.blockFrames;
    }
    if (a.frames && fmt && fmt->Has(FmtRate, 4) && fmt->record.samplesPerSec > 0)
        a.seconds = static_cast<double>(*a.frames) / fmt->record.samplesPerSec;
    return a;
}

} // namespace

namespace
{

constexpr std::pair<const char*, const WalkedChunk * Singles::*> Slots[] = {
    {"fmt ", &Singles::fmt},  {"bext", &Singles::bext}, {"data", &Singles::data},
    {"ds64", &Singles::ds64}, {"iXML", &Singles::ixml}, {"MD5 ", &Singles::md5},
    {"cue ", &Singles::cue},  {"fact", &Singles::fact}};

// A second cue or fact chunk is not a defect; a second of the others is.
void AddDuplicateFindings(Record& r, const Singles& s)
{
    for (const WalkedChunk& c : r.chunks)
        for (const auto& [name, slot] : Slots)
            if (std::memcmp(c.id.data(), name, 4) == 0 && s.*slot != &c && slot != &Singles::cue &&
                slot != &Singles::fact)
                AddChunkFinding(r.findings, Code::DuplicateChunk, c.id, c.offset,
                                "A second " + Quoted(c.id) + " chunk; the first one is described.");
}

} // namespace

Singles FindSingles(const std::vector<WalkedChunk>& chunks)
{
    Singles s;
    for (const WalkedChunk& c : chunks)
        for (const auto& [name, slot] : Slots)
            if (std::memcmp(c.id.data(), name, 4) == 0 && !(s.*slot))
                s.*slot = &c;
    return s;
}

FormatChunk ReadFormat(FileWalk& f, const WalkedChunk& fmt)
{
    const std::vector<unsigned char> body =
        f.ReadBody(fmt, WaveFormatRecordBytes + FormatExtensionBytes);
    return DecodeFormatChunk(body.data(), body.size());
}

void DescribeStructure(Record& r, FileWalk& f, const Singles& s)
{
    for (const WalkNote& n : f.notes) {
        if (const std::optional<uint64_t> start = StaleAudioStart(r, f, n))
            AddStaleFinding(r, f, *start); // its bytes are no trailing junk
        else
            AddWalkFinding(r, f, n);
    }
    CheckRiffSize(r, f);
    AddDuplicateFindings(r, s);
}

void DescribeFormatAndAudio(Record& r, FileWalk& f, const Singles& s)
{
    if (s.fmt)
        CheckFormat(r, *s.fmt, *r.format);
    if (s.data)
        r.audio = DescribeAudio(r, f, s);
    if (s.fmt && s.data && s.fmt->offset > s.data->offset)
        AddChunkFinding(r.findings, Code::FmtAfterData, s.fmt->id, s.fmt->offset,
                        "The fmt chunk comes after the data chunk.");
    // A walk cut short by the chunk limit cannot say what is missing.
    const bool walkedAll = std::none_of(f.notes.begin(), f.notes.end(), [](const WalkNote& n) {
        return n.issue == WalkIssue::ChunkLimit;
    });
    if (s.data && !s.fmt && walkedAll)
        AddFileFinding(r.findings, Code::FmtMissing, "There is a data chunk but no fmt chunk.");
    if (!s.data && walkedAll)
        AddFileFinding(r.findings, Code::DataMissing, "There is no data chunk.");
}

} // namespace sondrel
