// The new-file check: the pieces, then the planned file walked by the
// inspector's walker.
#include "write/check_new_file.h"

#include "inspect/walk.h"
#include "riff.h"

#include <cstring>

namespace sondrel {

namespace
{

std::string CheckPieces(const Plan& plan, uint64_t inputBytes)
{
    uint64_t at = 0;
    bool audioCopied = plan.audio.bytes == 0;
    for (const Piece& p : plan.pieces) {
        if (p.offset != at || p.bytes == 0)
            return "piece \"" + p.what + "\" is not contiguous with the one before";
        if (p.from ? (*p.from > inputBytes || inputBytes - *p.from < p.bytes || !p.literal.empty())
                   : p.literal.size() != p.bytes)
            return "piece \"" + p.what + "\" has no bytes of its own or in the input";
        if (p.from && *p.from == plan.audioFrom && p.offset == plan.audio.offset &&
            p.bytes == plan.audio.bytes)
            audioCopied = true;
        at += p.bytes;
    }
    if (at != plan.length)
        return "the pieces end at " + std::to_string(at) + ", not at the file's length";
    return audioCopied ? "" : "the audio is not one copy from its input offset";
}

// What the walk noted that a finished file must not have.
std::string NoteProblem(const WalkNote& n)
{
    const std::string at = " at " + std::to_string(n.offset);
    switch (n.issue) {
    case WalkIssue::Truncated:
        return "chunk" + at + " runs past the end";
    case WalkIssue::PadByteMissing:
        return "chunk" + at + " lacks its pad byte";
    case WalkIssue::DataSizeUnset:
        return "the data chunk" + at + " has no size";
    case WalkIssue::Ds64Missing:
        return "chunk" + at + " is sized by no ds64";
    case WalkIssue::TrailingBytes:
        return "bytes" + at + " are no chunk";
    case WalkIssue::Concatenated:
        return "another file's header" + at;
    case WalkIssue::ChunkLimit:
        return "more chunks than are walked";
    }
    return "a defect" + at;
}

// The planned file's chunks, as the inspector walks them: each size leads
// to the next chunk and the last to the end, ds64 first with the file's
// sizes, the data chunk exactly the audio.
std::string CheckChunks(const Plan& plan, const FileWalk& f, bool wide)
{
    if (f.readError != 0 || !f.isWave)
        return "the planned file cannot be read";
    if (!f.notes.empty())
        return NoteProblem(f.notes.front());
    if (wide) {
        const Ds64Record& d = f.ds64.Record();
        if (f.chunks.empty() || !IdIs(f.chunks.front().id, "ds64") ||
            d.fieldBytes < Ds64FixedBytes)
            return "the first chunk is not a ds64 chunk";
        if (d.riffSize != plan.length - 8 || d.sampleCount != plan.frames)
            return "the ds64 RIFF size or sample count is wrong";
    }
    for (const WalkedChunk& c : f.chunks) {
        if (!IdIs(c.id, "data"))
            continue;
        if (c.offset + 8 != plan.audio.offset || c.size != plan.audio.bytes)
            return "the data chunk does not hold exactly the audio";
        return "";
    }
    return "no data chunk";
}

} // namespace

std::string CheckNewFile(const Plan& plan, uint64_t inputBytes, const ByteReader& input)
{
    if (std::string problem = CheckPieces(plan, inputBytes); !problem.empty())
        return problem;
    const ByteReader file = PlannedFile(plan, input);
    unsigned char head[12];
    int error = 0;
    if (plan.length < 12 || file(0, head, sizeof head, &error) != sizeof head ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return "no WAVE header";
    const bool wide = MagicOf(head) == Magic::Rf64;
    if (!wide && MagicOf(head) != Magic::Riff)
        return "no RIFF, RF64 or BW64 magic";
    const uint32_t riffField = LoadLE32(head + 4);
    if (wide ? riffField != SizeFromDs64
             : riffField != plan.length - 8 || riffField == SizeFromDs64)
        return "the RIFF size is wrong";
    return CheckChunks(plan, WalkBytes(file, plan.length), wide);
}

} // namespace sondrel
