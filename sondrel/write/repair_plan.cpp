// The repair planner.
#include "write/repair_plan.h"

#include "decode.h"
#include "file_text.h"

#include <algorithm>

namespace sondrel {

namespace
{

constexpr uint64_t SizeLimit = 0xFFFFFFFFu; // a 32-bit size at or above it says "see ds64"

// Whole frames of audio the input holds.
uint64_t AudioBytes(const Source& in)
{
    return in.chunks[*in.data].inFile / in.format->blockAlign * in.format->blockAlign;
}

std::string Refusal(const Source& in)
{
    if (!in.wave)
        return "Not a WAVE file";
    if (in.walkCut)
        return "The file has more chunks than are walked";
    if (!in.fmt)
        return "There is no fmt chunk";
    const SourceFormat& f = *in.format;
    if (!in.chunks[*in.fmt].complete)
        return "The fmt chunk is cut short";
    if (!f.whole)
        return "The fmt chunk is too short to describe the audio";
    if (!IsLinearTag(f.sampleTag))
        return "The fmt chunk does not describe PCM, float, A-law or mu-law audio";
    if (f.blockAlign == 0 || f.blockAlign != ExpectedBlockAlign(f.channels, f.bitsPerSample))
        return "The fmt chunk's block align does not match its channels and bits";
    if (!in.data)
        return "There is no data chunk";
    const SourceChunk& d = in.chunks[*in.data];
    // An intact empty data chunk is a file with nothing to mend; a cut or
    // unfinalised one without a whole frame has no audio to rescue.
    if (AudioBytes(in) == 0 && !(d.complete && d.sized && d.size == 0))
        return "The data chunk holds no whole frame of audio";
    return "";
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
std::string Ds64Chunk(const Source& in, uint64_t riffSize, uint64_t dataSize, uint64_t frames)
{
    std::string body = LE64(riffSize) + LE64(dataSize) + LE64(frames) +
                       LE32(static_cast<uint32_t>(in.ds64Table.size()));
    for (const Ds64Entry& e : in.ds64Table)
        body += std::string(e.id.data(), 4) + LE64(e.size);
    return "ds64" + LE32(static_cast<uint32_t>(body.size())) + body;
}

void AddData(Layout& out, Plan& plan, const Source& in, bool wide)
{
    const SourceChunk& d = in.chunks[*in.data];
    const uint64_t bytes = AudioBytes(in);
    const uint32_t field = wide ? static_cast<uint32_t>(SizeLimit) : static_cast<uint32_t>(bytes);
    out.Literal("data" + LE32(field), "data header");
    plan.audio = {plan.length, bytes, "audio"};
    plan.audioFrom = d.offset + 8;
    plan.frames = bytes / in.format->blockAlign;
    // The input's pad byte goes with the audio when that is whole; after a
    // dropped partial frame it is dropped too.
    const bool padInFile = d.sized && (d.size & 1) && d.offset + 8 + d.size < in.fileBytes;
    const bool whole = bytes == d.size;
    out.Copy(plan.audioFrom, bytes, "audio");
    if ((bytes & 1) && padInFile && whole)
        out.Copy(plan.audioFrom + bytes, 1, "pad byte");
    else if (bytes & 1)
        out.Literal(std::string(1, '\0'), "pad byte");
    if (d.inFile > bytes)
        plan.dropped.push_back({plan.audioFrom + bytes, d.inFile - bytes, "partial frame"});
    if (padInFile && !whole)
        plan.dropped.push_back({plan.audioFrom + d.size, 1, "pad byte"});
}

// The input's ds64 is written anew with its table; bytes of its body past
// the table are not carried over.
void DropDs64Tail(Plan& plan, const Source& in)
{
    const SourceChunk& c = in.chunks[*in.ds64];
    const uint64_t kept = Ds64FixedBytes + 12 * in.ds64Table.size();
    if (c.complete && c.sized && c.size > kept)
        plan.dropped.push_back({c.offset + 8 + kept, c.size - kept, "ds64 bytes after its table"});
}

// Adds a kept chunk; false when it cannot be kept, which ends the chunks.
bool AddChunk(Layout& out, Plan& plan, const Source& in, const SourceChunk& c)
{
    if (!c.complete || !c.sized) {
        const std::string what = c.sized ? " chunk cut short" : " chunk of unknown size";
        plan.dropped.push_back({c.offset, in.fileBytes - c.offset, Quoted(c.id) + what});
        return false;
    }
    const bool padInFile = (c.size & 1) && c.offset + 8 + c.size < in.fileBytes;
    out.Copy(c.offset, 8 + c.size + (padInFile ? 1 : 0), Quoted(c.id) + " chunk");
    if ((c.size & 1) && !padInFile)
        out.Literal(std::string(1, '\0'), "pad byte");
    return true;
}

Plan LayOut(const Source& in, bool wide)
{
    Plan plan;
    Layout out(plan);
    const FourCC magic = wide && in.wide ? in.container : MakeId(wide ? "RF64" : "RIFF");
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
    }
    if (in.trailingAt)
        plan.dropped.push_back({*in.trailingAt, in.fileBytes - *in.trailingAt, "trailing bytes"});
    if (in.otherFileAt)
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

RepairPlan PlanRepair(const Source& in)
{
    RepairPlan r;
    r.refusal = Refusal(in);
    if (!r.refusal.empty())
        return r;
    r.plan = LayOut(in, in.wide);
    if (!in.wide && (r.plan.audio.bytes >= SizeLimit || r.plan.length - 8 >= SizeLimit))
        r.plan = LayOut(in, true);
    return r;
}

bool IsRepairedFinding(const std::string& code)
{
    static const char* const Codes[] = {"data-size-unset",    "chunk-truncated",  "partial-frame",
                                        "riff-size-mismatch", "pad-byte-missing", "ds64-missing",
                                        "trailing-bytes",     "concatenated-file"};
    return std::find(std::begin(Codes), std::end(Codes), code) != std::end(Codes);
}

} // namespace sondrel
