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
// What this run may write of a chunk: all of a filler, an MD5 body, the
// bext version and loudness, the first ds64's RIFF size; nothing of the
// others.
enum class Kind { Other, Filler, Md5, Bext, Ds64 };

Kind KindOf(const WalkedChunk& c)
{
    if (IsFiller(c.id))
        return Kind::Filler;
    if (IdIs(c.id, "MD5 ") && c.size == 16)
        return Kind::Md5;
    if (IdIs(c.id, "bext") && c.size >= 602)
        return Kind::Bext;
    return IdIs(c.id, "ds64") ? Kind::Ds64 : Kind::Other;
}

struct Link {
    WalkedChunk chunk;
    Kind kind = Kind::Other;
};

struct Chain {
    std::vector<Link> chunks;
    bool wide = false;
    bool cut = false;       // a chunk runs past the end of the file, or has no size
    bool ended = false;     // the chunks reach the RIFF end or the file's exactly
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
            c.chunks.push_back(Link{w, KindOf(w)});
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

bool Has(const Chain& c, const Link& l)
{
    return std::any_of(c.chunks.begin(), c.chunks.end(),
                       [&](const Link& w) { return Same(w.chunk, l.chunk); });
}

std::string At(const Link& l)
{
    return Quoted(l.chunk.id) + " at " + std::to_string(l.chunk.offset);
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
    for (const Link& l : before.chunks)
        if (l.kind != Kind::Filler && !Has(now, l))
            return "chunk " + At(l) + " is gone or changed";
    for (const Link& l : now.chunks) {
        const bool mayAdd = l.kind == Kind::Filler || l.kind == Kind::Md5 || l.kind == Kind::Bext;
        if (!mayAdd && !Has(before, l))
            return "a new chunk " + At(l);
    }
    return "";
}

// The bytes of a chunk a piece may write, as [from, to).
std::pair<uint64_t, uint64_t> Writable(const Link& l, bool firstDs64)
{
    const uint64_t body = l.chunk.offset + 8;
    switch (l.kind) {
    case Kind::Filler:
        return {l.chunk.offset, body + l.chunk.size};
    case Kind::Md5:
        return {body, body + 16};
    case Kind::Bext:
        return {body + 346, body + 422};
    case Kind::Ds64:
        return firstDs64 ? std::pair<uint64_t, uint64_t>{body, body + 8}
                         : std::pair<uint64_t, uint64_t>{0, 0};
    case Kind::Other:
        break;
    }
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
    for (const Link& l : c.chunks) {
        const bool ds64 = firstDs64 && l.kind == Kind::Ds64;
        firstDs64 = firstDs64 && !ds64;
        if (outside(l.chunk.offset, l.chunk.offset + 8 + l.chunk.size, Writable(l, ds64)))
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
