// One chunk held against another.
#include "inspect/cross_checks.h"

#include "file_text.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <strings.h>

namespace sondrel {

namespace
{

using std::to_string;

void Add(Record& r, Code code, const WalkedChunk& c, std::string message)
{
    AddChunkFinding(r.findings, code, c.id, c.offset, std::move(message));
}

// ASCII digits, blanks around them allowed; null for anything else and for
// a number beyond 64 bits.
std::optional<uint64_t> WholeDecimal(std::string_view text)
{
    text = TrimBlanks(text);
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<uint64_t> SampleRate(const FormatChunk& f)
{
    return f.Has(FmtRate, 4) ? std::optional<uint64_t>(f.record.samplesPerSec) : std::nullopt;
}

std::optional<uint64_t> Channels(const FormatChunk& f)
{
    return f.Has(FmtChannels, 2) ? std::optional<uint64_t>(f.record.nChannels) : std::nullopt;
}

bool IsExtensible(const FormatChunk& f)
{
    return f.Has(FmtTag, 2) && f.record.formatTag == TagExtensible;
}

// The bits the samples use: the valid bits of the extensible format.
std::optional<uint64_t> SampleBits(const FormatChunk& f)
{
    if (IsExtensible(f))
        return f.validBits ? std::optional<uint64_t>(*f.validBits) : std::nullopt;
    return f.Has(FmtBits, 2) ? std::optional<uint64_t>(f.record.bitsPerSample) : std::nullopt;
}

const char* BitsName(const FormatChunk& f)
{
    return IsExtensible(f) ? "valid bit depth" : "bit depth";
}

// A value another chunk states (`said`, for the message) against the fmt chunk's.
void CompareWithFmt(Record& r, Code code, const WalkedChunk& c, const std::string& said,
                    std::optional<uint64_t> stated, const char* quantity,
                    std::optional<uint64_t> fmt)
{
    if (stated && fmt && *stated != *fmt)
        Add(r, code, c, said + "; the fmt chunk's " + quantity + " is " + to_string(*fmt) + ".");
}

// RF64 and BW64 readers look for ds64 right after the header.
void CheckDs64First(Record& r, const FileWalk& f, const Singles& s)
{
    if (!f.rf64 || !s.ds64 || s.ds64 == &r.chunks.front())
        return;
    const WalkedChunk& first = r.chunks.front();
    Add(r, Code::Ds64NotFirst, *s.ds64,
        "The ds64 chunk is at offset " + to_string(s.ds64->offset) + ", not first: the " +
            Quoted(first.id) + " chunk at offset " + to_string(first.offset) + " comes before it.");
}

// ADPCM's last block may be padded: a count within a block of the blocks' agrees.
void CheckAdpcmFactCount(Record& r, const Singles& s)
{
    const std::optional<uint64_t>& count = r.across.factCount;
    const std::optional<uint64_t>& blocks = r.across.blockFrames;
    if (!s.fact || !count || !blocks)
        return;
    const uint64_t apart = *count > *blocks ? *count - *blocks : *blocks - *count;
    if (apart > *r.format->samplesPerBlock)
        Add(r, Code::FactCountMismatch, *s.fact,
            "The fact chunk counts " + to_string(*count) + " samples; the audio's blocks hold " +
                to_string(*blocks) + " frames.");
}

void CheckFactCount(Record& r, const Singles& s)
{
    CheckAdpcmFactCount(r, s);
    const std::optional<uint64_t>& count = r.across.factCount;
    if (!s.fact || !count || !r.format || !r.audio || !r.audio->frames ||
        !r.format->Has(FmtTag, 2) || !IsLinearTag(r.format->sampleTag))
        return;
    if (*count != *r.audio->frames)
        Add(r, Code::FactCountMismatch, *s.fact,
            "The fact chunk counts " + to_string(*count) + " samples; the audio holds " +
                to_string(*r.audio->frames) + " frames.");
}

// Without the extensible format a reader must guess the channel order and
// how many of the bits are used.
void CheckExtensible(Record& r, const Singles& s)
{
    if (!s.fmt || !r.format->Has(FmtTag, 2))
        return;
    const uint16_t tag = r.format->record.formatTag;
    const std::optional<uint64_t> channels = Channels(*r.format);
    const std::optional<uint64_t> bits = SampleBits(*r.format);
    if ((tag != TagPCM && tag != TagIEEEFloat) ||
        !((channels && *channels > 2) || (bits && *bits > 16)))
        return;
    std::string what = FormatTagName(tag);
    if (channels)
        what += " with " + to_string(*channels) + (*channels == 1 ? " channel" : " channels");
    if (bits)
        what += " of " + to_string(*bits) + " bits";
    Add(r, Code::NotExtensible, *s.fmt,
        what + " is not in the extensible format: its channel order and valid bits are unstated.");
}

void CheckCuesInAudio(Record& r, const Singles& s)
{
    if (!s.cue || !r.audio || !r.audio->frames)
        return;
    const uint64_t frames = *r.audio->frames;
    for (const CueInfo& cue : r.cues)
        if (cue.point.position >= frames)
            Add(r, Code::CueBeyondAudio, *s.cue,
                "Cue point " + to_string(cue.point.id) + " is at frame " +
                    to_string(cue.point.position) + "; the audio has " + to_string(frames) +
                    " frames.");
}

void CheckCueTexts(Record& r)
{
    const AcrossChunks& a = r.across;
    for (const CueText& t : a.orphanTexts)
        AddChunkFinding(r.findings, Code::CueLabelOrphan, MakeId("LIST"), t.listOffset,
                        "The " + Quoted(t.id) + " text of cue id " + to_string(t.cueId) +
                            " belongs to no cue point.");
    if (a.orphansUnlisted > 0)
        AddChunkFinding(r.findings, Code::CueLabelOrphan, MakeId("LIST"), a.firstUnlistedAt,
                        to_string(a.orphansUnlisted) +
                            " more labl, note or ltxt texts belong to no cue point.");
}

// Version 2 keeps its loudness in the first 10 bytes after the UMID.
void CheckBextReserved(Record& r, const Singles& s)
{
    const std::optional<BextRecord>& b = r.bext;
    if (!b || !b->Has(BextVersion, 2) || !b->Has(BextLoudness, b->afterUmid.size()))
        return;
    const size_t from = b->version >= 2 ? 10 : 0;
    const auto begin = b->afterUmid.begin() + static_cast<long>(from);
    const auto set = std::find_if(begin, b->afterUmid.end(), [](unsigned char c) { return c; });
    if (set == b->afterUmid.end())
        return;
    const auto count = std::count_if(begin, b->afterUmid.end(), [](unsigned char c) { return c; });
    const auto at = BextLoudness + static_cast<size_t>(set - b->afterUmid.begin());
    Add(r, Code::BextReservedNotZero, *s.bext,
        "The bext chunk's reserved bytes are not all zero: " + to_string(count) + " of " +
            to_string(b->afterUmid.end() - begin) + " are set, the first (0x" + Hex(&*set, 1) +
            ") at byte " + to_string(at) + " of its body.");
}

void CheckBextLoudness(Record& r, const Singles& s)
{
    const std::optional<BextRecord>& b = r.bext;
    if (!b || !b->HasLoudness() || !b->HasLoudnessValue(b->loudness.size() - 1))
        return;
    if (b->LoudnessAllZero())
        Add(r, Code::BextLoudnessZero, *s.bext,
            "The bext chunk is version " + to_string(b->version) +
                " but its five loudness values are all 0 (unset is 0x7FFF): nothing was "
                "measured.");
}

// The iXML's fields, when it was parsed and is well-formed.
const IxmlFields* IxmlOf(const Record& r)
{
    if (!r.ixml || !r.ixml->document || !r.ixml->document->Fields().wellFormed)
        return nullptr;
    return &r.ixml->document->Fields();
}

void CompareTimeReference(Record& r, const WalkedChunk& c, uint64_t bext, const char* pair,
                          const std::optional<std::string>& highText,
                          const std::optional<std::string>& lowText)
{
    const auto high = WholeDecimal(highText.value_or(""));
    const auto low = WholeDecimal(lowText.value_or(""));
    if (!high || !low || (*high == bext >> 32 && *low == (bext & 0xFFFFFFFFu)))
        return;
    std::string said = to_string(*high) + "/" + to_string(*low);
    if (*high <= 0xFFFFFFFFu && *low <= 0xFFFFFFFFu)
        said += " (" + to_string(*high << 32 | *low) + ")";
    Add(r, Code::TimeReferenceMismatch, c,
        std::string("The iXML ") + pair + " pair is " + said + "; the bext time reference is " +
            to_string(bext) + ".");
}

void CheckTimeReference(Record& r, const Singles& s)
{
    const IxmlFields* x = IxmlOf(r);
    if (!x || !r.bext || !r.bext->Has(BextTimeReference, 8))
        return;
    const uint64_t bext = r.bext->timeReference;
    CompareTimeReference(r, *s.ixml, bext, "BEXT/BWF_TIME_REFERENCE_HIGH/LOW", x->timeReferenceHigh,
                         x->timeReferenceLow);
    CompareTimeReference(r, *s.ixml, bext, "SPEED/TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI/LO",
                         x->midnightHi, x->midnightLo);
}

void CompareIxmlValue(Record& r, const WalkedChunk& c, const char* element,
                      const std::optional<std::string>& text, const char* quantity,
                      std::optional<uint64_t> fmt)
{
    const std::optional<uint64_t> stated = WholeDecimal(text.value_or(""));
    if (stated)
        CompareWithFmt(r, Code::IxmlFormatMismatch, c,
                       std::string("The iXML ") + element + " is " + to_string(*stated), stated,
                       quantity, fmt);
}

void CheckIxmlFormat(Record& r, const Singles& s)
{
    const IxmlFields* x = IxmlOf(r);
    if (!x || !r.format)
        return;
    const FormatChunk& f = *r.format;
    CompareIxmlValue(r, *s.ixml, "SPEED/FILE_SAMPLE_RATE", x->fileSampleRate, "sample rate",
                     SampleRate(f));
    CompareIxmlValue(r, *s.ixml, "SPEED/AUDIO_BIT_DEPTH", x->audioBitDepth, BitsName(f),
                     SampleBits(f));
    CompareIxmlValue(r, *s.ixml, "TRACK_LIST/TRACK_COUNT", x->trackCount, "channel count",
                     Channels(f));
}

// F=, W= and M= of one coding-history line.  The free text of T= runs to
// the end of the line, commas and all, so nothing after it is read.
struct HistoryLine {
    std::optional<std::string_view> rate, bits, mode;
};

HistoryLine ParseHistoryLine(std::string_view line)
{
    HistoryLine h;
    while (!line.empty()) {
        const size_t comma = line.find(',');
        const std::string_view field = TrimBlanks(line.substr(0, comma));
        line = comma == std::string_view::npos ? std::string_view() : line.substr(comma + 1);
        if (field.size() < 2 || field[1] != '=')
            continue;
        if (field[0] == 'T')
            break;
        std::optional<std::string_view>* slot = field[0] == 'F'   ? &h.rate
                                                : field[0] == 'W' ? &h.bits
                                                : field[0] == 'M' ? &h.mode
                                                                  : nullptr;
        if (slot && !*slot)
            *slot = field.substr(2);
    }
    return h;
}

// The last line that has F=, W= or M=.
std::optional<HistoryLine> LastFormatLine(std::string_view history)
{
    std::optional<HistoryLine> last;
    ForEachLine(history, [&last](std::string_view line) {
        const HistoryLine h = ParseHistoryLine(line);
        if (h.rate || h.bits || h.mode)
            last = h;
    });
    return last;
}

// The channels a mode word stands for; a number is taken as a count.
std::optional<uint64_t> ModeChannels(std::string_view mode)
{
    const std::string word(TrimBlanks(mode));
    if (strcasecmp(word.c_str(), "mono") == 0)
        return 1;
    for (const char* two : {"stereo", "dual-mono", "joint-stereo"})
        if (strcasecmp(word.c_str(), two) == 0)
            return 2;
    return WholeDecimal(word);
}

void CheckCodingHistory(Record& r, const Singles& s)
{
    if (!r.bext || !r.format || !r.bext->HasCodingHistory())
        return;
    const std::optional<HistoryLine> h = LastFormatLine(r.bext->codingHistory);
    if (!h)
        return;
    const FormatChunk& f = *r.format;
    const std::string said = "The last coding-history line says ";
    auto compare = [&](const std::optional<std::string_view>& value, const char* key,
                       std::optional<uint64_t> stated, const char* quantity,
                       std::optional<uint64_t> fmt) {
        if (value)
            CompareWithFmt(r, Code::CodingHistoryMismatch, *s.bext,
                           said + key + Text(std::string(TrimBlanks(*value))), stated, quantity,
                           fmt);
    };
    compare(h->rate, "F=", WholeDecimal(h->rate.value_or("")), "sample rate", SampleRate(f));
    compare(h->bits, "W=", WholeDecimal(h->bits.value_or("")), BitsName(f), SampleBits(f));
    compare(h->mode, "M=", ModeChannels(h->mode.value_or("")), "channel count", Channels(f));
}

} // namespace

void CheckAcrossChunks(Record& r, const FileWalk& f, const Singles& s)
{
    if (r.chunks.empty())
        return;
    CheckDs64First(r, f, s);
    CheckFactCount(r, s);
    CheckExtensible(r, s);
    CheckCuesInAudio(r, s);
    CheckCueTexts(r);
    CheckBextReserved(r, s);
    CheckBextLoudness(r, s);
    CheckTimeReference(r, s);
    CheckIxmlFormat(r, s);
    CheckCodingHistory(r, s);
}

} // namespace sondrel
