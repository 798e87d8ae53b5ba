// The in-place check: the file as each prefix of the plan leaves it, walked
// by the inspector's walker and held to the file before.
#include "write/check_in_place.h"

#include "file_text.h"
#include "inspect/walk.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace sondrel {

namespace
{

// The chunks from the file header to the RIFF end (or the end of the file
// when the size does not say); what follows the RIFF end is not listed (it
// is not part of the file yet).
struct Chain {
    std::vector<WalkedChunk> chunks;
    bool wide = false;
    bool cut = false;   // a chunk runs past the end of the file, or has no size
    bool ended = false; // the chunks reach the RIFF end or the file's exactly
    bool overreach = false; // the RIFF size counts bytes the file does not hold
};

Chain ChainOf(const FileWalk& f)
{
    Chain c;
    if (!f.isWave || f.readError != 0) {
        c.cut = true;
        return c;
    }
    c.wide = f.rf64;
    c.overreach = f.riffEnd > f.fileBytes;
    const auto ends = [&](uint64_t at) { return at == f.riffEnd || at >= f.fileBytes; };
    c.ended = ends(FirstChunkOffset);
    for (const WalkedChunk& w : f.chunks) {
        if (!f.riffEnd || w.offset < *f.riffEnd) {
            c.cut = c.cut || !w.complete || !w.Sized();
            c.chunks.push_back(w);
        }
        c.ended = c.ended || ends(w.Next());
    }
    return c;
}

Chain ChainAfter(const Plan& plan, size_t count, uint64_t fileBytes, const ByteReader& read)
{
    uint64_t length = 0;
    const ByteReader file = Overlaid(plan, count, read, fileBytes, &length);
    return ChainOf(WalkBytes(file, length));
}

bool Same(const WalkedChunk& a, const WalkedChunk& b)
{
    return a.id == b.id && a.offset == b.offset && a.size == b.size;
}

bool Has(const Chain& c, const WalkedChunk& l)
{
    return std::any_of(c.chunks.begin(), c.chunks.end(),
                       [&](const WalkedChunk& w) { return Same(w, l); });
}

std::string At(const WalkedChunk& l)
{
    return Quoted(l.id) + " at " + std::to_string(l.offset);
}

// A chunk this run may add: an MD5 of 16 bytes, a bext of 602 or more, a
// filler.
bool MayAdd(const WalkedChunk& c)
{
    return IsFiller(c.id) || (IdIs(c.id, "MD5 ") && c.size == 16) ||
           (IdIs(c.id, "bext") && c.size >= 602);
}

// Every chunk but a filler stays where it was with its size; the new ones
// are MD5, bext or fillers; none is cut short; chunks that reached the RIFF
// end still do, and the RIFF size counts no byte the file lacks.
std::string CompareChains(const Chain& before, const Chain& now)
{
    if (now.cut)
        return "a chunk runs past the end of the file";
    if (before.ended && !now.ended)
        return "the chunks no longer reach the RIFF end";
    if (!before.overreach && now.overreach)
        return "the RIFF size counts bytes the file does not hold";
    for (const WalkedChunk& l : before.chunks)
        if (!IsFiller(l.id) && !Has(now, l))
            return "chunk " + At(l) + " is gone or changed";
    for (const WalkedChunk& l : now.chunks)
        if (!Has(before, l) && !MayAdd(l))
            return "a new chunk " + At(l);
    return "";
}

// What a piece may write of a chunk: a filler whole, an MD5 body, the bext
// version and loudness (bytes 346 to 421 of its body), the ds64 RIFF size.
std::pair<uint64_t, uint64_t> Writable(const WalkedChunk& l, bool firstDs64)
{
    const uint64_t body = l.offset + 8;
    if (IsFiller(l.id))
        return {l.offset, body + l.size};
    if (IdIs(l.id, "MD5 ") && l.size == 16)
        return {body, body + 16};
    if (IdIs(l.id, "bext") && l.size >= 602)
        return {body + 346, body + 422};
    if (firstDs64)
        return {body, body + 8};
    return {0, 0};
}

std::string Touches(const Chain& c, const Piece& p)
{
    const uint64_t end = p.offset + p.bytes;
    const auto outside = [&](uint64_t lo, uint64_t hi, std::pair<uint64_t, uint64_t> allowed) {
        const uint64_t from = std::max(p.offset, lo), to = std::min(end, hi);
        return from < to && (from < allowed.first || to > allowed.second);
    };
    if (outside(0, 12,
                c.wide ? std::pair<uint64_t, uint64_t>{0, 0} : std::pair<uint64_t, uint64_t>{4, 8}))
        return "piece \"" + p.what + "\" writes into the file header";
    bool firstDs64 = c.wide;
    for (const WalkedChunk& l : c.chunks) {
        const bool ds64 = firstDs64 && IdIs(l.id, "ds64");
        firstDs64 = firstDs64 && !ds64;
        if (outside(l.offset, l.offset + 8 + l.size, Writable(l, ds64)))
            return "piece \"" + p.what + "\" writes into chunk " + At(l);
    }
    return "";
}

} // namespace

std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const ByteReader& read)
{
    for (const Piece& p : plan.pieces)
        if (p.from || p.bytes == 0 || p.literal.size() != p.bytes || !p.flushAfter)
            return "piece \"" + p.what + "\" is not bytes of its own, flushed";
    const Chain before = ChainAfter(plan, 0, fileBytes, read);
    if (before.cut)
        return "the file's chunks run past its end";
    for (size_t k = 0; k <= plan.pieces.size(); k++) {
        const Chain now = k == 0 ? before : ChainAfter(plan, k, fileBytes, read);
        if (std::string problem = CompareChains(before, now); !problem.empty())
            return problem + " after \"" + plan.pieces[k - 1].what + "\"";
        if (k == plan.pieces.size())
            break;
        if (std::string problem = Touches(now, plan.pieces[k]); !problem.empty())
            return problem;
    }
    return "";
}

} // namespace sondrel
