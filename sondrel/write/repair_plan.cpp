// The repair planner.
#include "write/repair_plan.h"

#include "decode.h"
#include "file_text.h"

#include <algorithm>

namespace sondrel {

namespace
{

constexpr uint64_t SizeLimit = 0xFFFFFFFFu; // a 32-bit size at or above it says "see ds64"

// What the plan reads of the input's record: its chunks, the first of each
// kind it needs, where the chunks end.
struct Input {
    Input(const Record& r, bool toEnd)
        : record(r), chunks(r.chunks), fileBytes(r.fileBytes.value_or(0)), audioToEnd(toEnd)
    {
        for (size_t i = 0; i < chunks.size(); i++) {
            const FourCC& id = chunks[i].id;
            if (IdIs(id, "data") && !data)
                data = i;
            else if (IdIs(id, "fmt ") && !fmt)
                fmt = i;
            else if (IdIs(id, "ds64") && !ds64)
                ds64 = i;
        }
        for (const WalkNote& n : r.walked.notes) {
            trailingAt = n.issue == WalkIssue::TrailingBytes ? std::optional(n.offset) : trailingAt;
            otherFileAt = n.issue == WalkIssue::Concatenated ? std::optional(n.offset) : otherFileAt;
            walkCut = walkCut || n.issue == WalkIssue::ChunkLimit;
        }
    }
    uint64_t InFile(size_t i) const { return chunks[i].InFile(fileBytes); }
    // Audio bytes the input holds: to its end with --audio-to-end.
    uint64_t DataInFile() const
    {
        return audioToEnd ? fileBytes - std::min(fileBytes, chunks[*data].offset + 8)
                          : InFile(*data);
    }
    const std::vector<Ds64Entry>& Ds64Table() const { return record.walked.ds64.Record().table; }
    uint16_t BlockAlign() const { return record.format->record.blockAlign; }

    const Record& record;
    const std::vector<WalkedChunk>& chunks;
    uint64_t fileBytes;
    bool audioToEnd;
    std::optional<size_t> data, fmt, ds64;
    std::optional<uint64_t> trailingAt, otherFileAt; // what follows the listed chunks
    bool walkCut = false;                            // the walk stopped at its chunk limit
};

// Whole frames of audio the input holds.
uint64_t AudioBytes(const Input& in)
{
    return in.DataInFile() / in.BlockAlign() * in.BlockAlign();
}

std::string FormatRefusal(const Input& in)
{
    const WalkedChunk& c = in.chunks[*in.fmt];
    if (!c.complete)
        return "The fmt chunk is cut short";
    const FormatChunk& f = *in.record.format;
    const bool extensible = f.record.formatTag == TagExtensible;
    // The 16 fixed bytes, and the extensible format's 22 more, must be there.
    if (!f.Has(0, 16) || c.size < 16 || (extensible && !f.extension))
        return "The fmt chunk is too short to describe the audio";
    if (!IsLinearTag(f.sampleTag))
        return "The fmt chunk does not describe PCM, float, A-law or mu-law audio";
    const WaveFormatRecord& r = f.record;
    if (r.blockAlign == 0 || r.blockAlign != ExpectedBlockAlign(r.nChannels, r.bitsPerSample))
        return "The fmt chunk's block align does not match its channels and bits";
    return "";
}

// --audio-to-end on a file whose data chunk ends where the walk goes on
// through chunks to the end would take metadata for audio.
std::string AudioToEndRefusal(const Input& in)
{
    const WalkedChunk& d = in.chunks[*in.data];
    if (!d.complete || !d.Sized() || (in.trailingAt && *in.trailingAt >= d.offset + 8))
        return "";
    return "Only chunks follow the data chunk: --audio-to-end would take them for audio";
}

std::string Refusal(const Input& in)
{
    if (in.record.error)
        return *in.record.error;
    if (in.walkCut)
        return "The file has more chunks than are walked";
    if (!in.fmt || !in.record.format)
        return "There is no fmt chunk";
    if (std::string why = FormatRefusal(in); !why.empty())
        return why;
    if (!in.data)
        return "There is no data chunk";
    const WalkedChunk& d = in.chunks[*in.data];
    // An intact empty data chunk is a file with nothing to mend; a cut or
    // unfinalised one without a whole frame has no audio to rescue.
    if (AudioBytes(in) == 0 && !(d.complete && d.Sized() && d.size == 0))
        return "The data chunk holds no whole frame of audio";
    return in.audioToEnd ? AudioToEndRefusal(in) : "";
}

class Layout
{
  public:
    explicit Layout(Plan& p) : plan(p) {}

    void Literal(std::string bytes, std::string what)
    {
        const uint64_t n = bytes.size();
        plan.pieces.push_back({plan.length, n, std::move(bytes), std::nullopt, std::move(what)});
        plan.length += n;
    }
    void Copy(uint64_t from, uint64_t bytes, std::string what)
    {
        if (bytes == 0)
            return;
        plan.pieces.push_back({plan.length, bytes, "", from, std::move(what)});
        plan.length += bytes;
    }

  private:
    Plan& plan;
};

// The ds64 body: sizes filled in once the layout is known, the input's
// table of other chunks' sizes kept.
std::string Ds64Chunk(const Input& in, uint64_t riffSize, uint64_t dataSize, uint64_t frames)
{
    std::string body = LE64(riffSize) + LE64(dataSize) + LE64(frames) +
                       LE32(static_cast<uint32_t>(in.Ds64Table().size()));
    for (const Ds64Entry& e : in.Ds64Table())
        body += std::string(e.id.data(), 4) + LE64(e.size);
    return "ds64" + LE32(static_cast<uint32_t>(body.size())) + body;
}

void AddData(Layout& out, Plan& plan, const Input& in, bool wide)
{
    const WalkedChunk& d = in.chunks[*in.data];
    const uint64_t bytes = AudioBytes(in);
    const uint32_t field = wide ? static_cast<uint32_t>(SizeLimit) : static_cast<uint32_t>(bytes);
    out.Literal("data" + LE32(field), "data header");
    plan.audio = {plan.length, bytes, "audio"};
    plan.audioFrom = d.offset + 8;
    plan.frames = bytes / in.BlockAlign();
    // The input's pad byte goes with the audio when that is whole; after a
    // dropped partial frame it is dropped too.
    const bool padInFile =
        !in.audioToEnd && d.Sized() && (d.size & 1) && d.offset + 8 + d.size < in.fileBytes;
    const bool whole = !in.audioToEnd && bytes == d.size;
    out.Copy(plan.audioFrom, bytes, "audio");
    if ((bytes & 1) && padInFile && whole)
        out.Copy(plan.audioFrom + bytes, 1, "pad byte");
    else if (bytes & 1)
        out.Literal(std::string(1, '\0'), "pad byte");
    if (in.DataInFile() > bytes)
        plan.dropped.push_back({plan.audioFrom + bytes, in.DataInFile() - bytes, "partial frame"});
    if (padInFile && !whole)
        plan.dropped.push_back({plan.audioFrom + d.size, 1, "pad byte"});
}

// The input's ds64 is written anew with its table; bytes of its body past
// the table are not carried over.
void DropDs64Tail(Plan& plan, const Input& in)
{
    const WalkedChunk& c = in.chunks[*in.ds64];
    const uint64_t kept = Ds64FixedBytes + 12 * in.Ds64Table().size();
    if (c.complete && c.Sized() && c.size > kept)
        plan.dropped.push_back({c.offset + 8 + kept, c.size - kept, "ds64 bytes after its table"});
}

// Adds a kept chunk; false when it cannot be kept, which ends the chunks.
bool AddChunk(Layout& out, Plan& plan, const Input& in, const WalkedChunk& c)
{
    if (!c.complete || !c.Sized()) {
        const std::string what = c.Sized() ? " chunk cut short" : " chunk of unknown size";
        plan.dropped.push_back({c.offset, in.fileBytes - c.offset, Quoted(c.id) + what});
        return false;
    }
    const bool padInFile = (c.size & 1) && c.offset + 8 + c.size < in.fileBytes;
    out.Copy(c.offset, 8 + c.size + (padInFile ? 1 : 0), Quoted(c.id) + " chunk");
    if ((c.size & 1) && !padInFile)
        out.Literal(std::string(1, '\0'), "pad byte");
    return true;
}

Plan LayOut(const Input& in, bool wide)
{
    Plan plan;
    Layout out(plan);
    const bool inWide = in.record.walked.wide;
    const FourCC magic = wide && inWide ? *in.record.container : MakeId(wide ? "RF64" : "RIFF");
    out.Literal(std::string(magic.data(), 4) + LE32(0) + "WAVE",
                std::string(magic.data(), 4) + " header");
    if (wide)
        out.Literal(Ds64Chunk(in, 0, 0, 0), "ds64 chunk");
    for (size_t i = 0; i < in.chunks.size(); i++) {
        if (wide && in.ds64 && i == *in.ds64) {
            DropDs64Tail(plan, in); // written first, with the new sizes
            continue;
        }
        if (in.data && i == *in.data)
            AddData(out, plan, in, wide);
        else if (!AddChunk(out, plan, in, in.chunks[i]))
            break;
        if (in.data && i == *in.data && in.audioToEnd)
            break; // what follows is audio
    }
    if (in.trailingAt && !in.audioToEnd)
        plan.dropped.push_back({*in.trailingAt, in.fileBytes - *in.trailingAt, "trailing bytes"});
    if (in.otherFileAt && !in.audioToEnd)
        plan.dropped.push_back({*in.otherFileAt, in.fileBytes - *in.otherFileAt, "another file"});
    std::sort(plan.dropped.begin(), plan.dropped.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    // The sizes, now that the layout is known.
    std::string& header = plan.pieces[0].literal;
    const uint32_t riffField = wide ? static_cast<uint32_t>(SizeLimit)
                                    : static_cast<uint32_t>(std::min(plan.length - 8, SizeLimit));
    header.replace(4, 4, LE32(riffField));
    if (wide)
        plan.pieces[1].literal = Ds64Chunk(in, plan.length - 8, plan.audio.bytes, plan.frames);
    return plan;
}

} // namespace

RepairPlan PlanRepair(const Record& record, bool audioToEnd)
{
    const Input in(record, audioToEnd);
    RepairPlan r;
    r.refusal = Refusal(in);
    if (!r.refusal.empty())
        return r;
    const bool wide = record.walked.wide;
    r.plan = LayOut(in, wide);
    if (!wide && (r.plan.audio.bytes >= SizeLimit || r.plan.length - 8 >= SizeLimit))
        r.plan = LayOut(in, true);
    return r;
}

bool IsRepairedFinding(Code code)
{
    static constexpr Code Codes[] = {Code::DataSizeUnset,    Code::DataSizeStale,
                                     Code::ChunkTruncated,   Code::PartialFrame,
                                     Code::RiffSizeMismatch, Code::PadByteMissing,
                                     Code::Ds64Missing,      Code::TrailingBytes,
                                     Code::ConcatenatedFile};
    return std::find(std::begin(Codes), std::end(Codes), code) != std::end(Codes);
}

} // namespace sondrel
