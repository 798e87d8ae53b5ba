// The in-place check: the file as each prefix of the plan leaves it, walked
// by the inspector's walker and held to the file before.
#include "write/check_in_place.h"

#include "file_text.h"

#include <algorithm>
#include <vector>

namespace sondrel {

namespace
{

using Range = std::pair<uint64_t, uint64_t>;

bool EmbedMayAdd(const WalkedChunk& c)
{
    return IsFiller(c.id) || (IdIs(c.id, "MD5 ") && c.size == 16) ||
           (IdIs(c.id, "bext") && c.size >= BextCodingHistory);
}

Range EmbedWritable(const WalkedChunk& c)
{
    const uint64_t body = c.offset + 8;
    if (IsFiller(c.id))
        return {c.offset, body + c.size};
    if (IdIs(c.id, "MD5 ") && c.size == 16)
        return {body, body + 16};
    if (IdIs(c.id, "bext") && c.size >= BextCodingHistory)
        return {body + BextVersion, body + BextLoudness + 10}; // up to the five figures' end
    return {0, 0};
}

bool Never(const WalkedChunk&)
{
    return false;
}

bool EditMayChange(const WalkedChunk& c)
{
    return IsFiller(c.id) || IdIs(c.id, "bext") || IdIs(c.id, "LIST") || IdIs(c.id, "iXML");
}

Range EditWritable(const WalkedChunk& c)
{
    return EditMayChange(c) ? Range{c.offset, c.offset + 8 + c.size} : Range{0, 0};
}

} // namespace

const InPlaceRules EmbedRules = {EmbedMayAdd, Never, EmbedWritable};
const InPlaceRules EditRules = {EditMayChange, EditMayChange, EditWritable};

namespace
{

// The chunks from the file header to the RIFF end (or the end of the file
// when the size does not say); what follows the RIFF end is not listed (it
// is not part of the file yet).
struct Chain {
    std::vector<WalkedChunk> chunks;
    bool wide = false;
    bool cut = false;       // a chunk runs past the end of the file, or has no size
    bool ended = false;     // the chunks reach the RIFF end or the file's exactly
    bool overreach = false; // the RIFF size counts bytes the file does not hold
    uint64_t end = 0;       // where the bytes past the RIFF end and its chunks start
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
    c.end = std::min(f.riffEnd.value_or(f.fileBytes), f.fileBytes);
    const auto ends = [&](uint64_t at) { return at == f.riffEnd || at >= f.fileBytes; };
    c.ended = ends(FirstChunkOffset);
    for (const WalkedChunk& w : f.chunks) {
        if (!f.riffEnd || w.offset < *f.riffEnd) {
            c.cut = c.cut || !w.complete || !w.Sized();
            c.chunks.push_back(w);
            c.end = std::max(c.end, std::min(w.Next(), f.fileBytes)); // one may run past it
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

// A chunk of `c` with the id of `w` where `w` stands: the same size, or one
// the rules let resize.
bool Has(const Chain& c, const WalkedChunk& w, const InPlaceRules& rules)
{
    return std::any_of(c.chunks.begin(), c.chunks.end(), [&](const WalkedChunk& n) {
        return n.id == w.id && n.offset == w.offset && (n.size == w.size || rules.mayResize(n));
    });
}

std::string At(const WalkedChunk& w)
{
    return Quoted(w.id) + " at " + std::to_string(w.offset);
}

std::string CompareChains(const Chain& before, const Chain& now, const InPlaceRules& rules)
{
    if (now.cut)
        return "a chunk runs past the end of the file";
    if (before.ended && !now.ended)
        return "the chunks no longer reach the RIFF end";
    if (!before.overreach && now.overreach)
        return "the RIFF size counts bytes the file does not hold";
    for (const WalkedChunk& w : before.chunks)
        if (!IsFiller(w.id) && !Has(now, w, rules))
            return "chunk " + At(w) + " is gone or changed";
    for (const WalkedChunk& w : now.chunks)
        if (!rules.mayAdd(w) && !Has(before, w, rules))
            return "a new chunk " + At(w);
    return "";
}

std::string Touches(const Chain& c, const Piece& p, const InPlaceRules& rules)
{
    const uint64_t end = p.offset + p.bytes;
    const auto outside = [&](uint64_t lo, uint64_t hi, Range allowed) {
        const uint64_t from = std::max(p.offset, lo), to = std::min(end, hi);
        return from < to && (from < allowed.first || to > allowed.second);
    };
    if (outside(0, 12, c.wide ? Range{0, 0} : Range{4, 8}))
        return "piece \"" + p.what + "\" writes into the file header";
    bool firstDs64 = c.wide;
    for (const WalkedChunk& w : c.chunks) {
        Range allowed = rules.writable(w);
        if (firstDs64 && IdIs(w.id, "ds64")) {
            allowed = {w.offset + 8, w.offset + 16}; // its RIFF size
            firstDs64 = false;
        }
        if (outside(w.offset, w.offset + 8 + w.size, allowed))
            return "piece \"" + p.what + "\" writes into chunk " + At(w);
    }
    return "";
}

// The bytes the file holds past its RIFF end are not the plan's (junk, or
// audio a header never counted): a piece may write them only as they are,
// as a rerun does with the start of an append a killed run left.
std::string PastTheEnd(const Plan& plan, const Chain& before, uint64_t fileBytes,
                       const ByteReader& read)
{
    for (const Piece& p : plan.pieces) {
        const uint64_t from = std::max(p.offset, before.end);
        const uint64_t to = std::min(p.offset + p.bytes, fileBytes);
        if (from >= to)
            continue;
        std::string there(to - from, '\0');
        int error = 0;
        if (read(from, there.data(), there.size(), &error) != there.size() || error != 0 ||
            there != p.literal.substr(from - p.offset, to - from))
            return "piece \"" + p.what + "\" writes over bytes past the RIFF end";
    }
    return "";
}

} // namespace

std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const ByteReader& read,
                         const InPlaceRules& rules)
{
    for (const Piece& p : plan.pieces)
        if (p.from || p.bytes == 0 || p.literal.size() != p.bytes || !p.flushAfter)
            return "piece \"" + p.what + "\" is not bytes of its own, flushed";
    const Chain before = ChainAfter(plan, 0, fileBytes, read);
    if (before.cut)
        return "the file's chunks run past its end";
    if (std::string problem = PastTheEnd(plan, before, fileBytes, read); !problem.empty())
        return problem;
    for (size_t k = 0; k <= plan.pieces.size(); k++) {
        const Chain now = k == 0 ? before : ChainAfter(plan, k, fileBytes, read);
        if (std::string problem = CompareChains(before, now, rules); !problem.empty())
            return problem + " after \"" + plan.pieces[k - 1].what + "\"";
        if (k == plan.pieces.size())
            break;
        if (std::string problem = Touches(now, plan.pieces[k], rules); !problem.empty())
            return problem;
    }
    return "";
}

} // namespace sondrel
