// The in-place check of an edit: the file as each prefix of the writes
// leaves it, walked as the inspector walks a file.
#include "write/edit_check.h"

#include "decode.h"
#include "file_text.h"
#include "inspect/walk.h"
#include "riff.h"

#include <algorithm>
#include <cstring>

namespace sondrel
{

namespace
{

struct Link {
    FourCC id;
    uint64_t offset, size;
};

// The file as the first `count` pieces leave it, walked by the inspector's
// walker: the chunks up to the RIFF end (what lies past it is not part of
// the file yet); false when one runs past the end of the file or has no size.
bool WalkLinks(const Plan& plan, size_t count, const EditState& s, const EditReader& read,
               std::vector<Link>& chunks)
{
    const ByteReader base = [&read](uint64_t offset, void* buffer, size_t n, int* error) {
        if (error)
            *error = 0;
        return read(offset, buffer, n);
    };
    uint64_t length = 0;
    const FileWalk w = WalkBytes(Overlaid(plan, count, base, s.fileBytes, &length), length);
    if (!w.isWave || w.readError != 0)
        return false;
    for (const WalkedChunk& c : w.chunks) {
        if (w.riffEnd && c.offset >= *w.riffEnd)
            continue;
        if (!c.complete || !c.Sized())
            return false;
        chunks.push_back({c.id, c.offset, c.size});
    }
    return true;
}

bool Editable(const FourCC& id)
{
    return IsFiller(id) || IdIs(id, "bext") || IdIs(id, "LIST") || IdIs(id, "iXML");
}

std::string Compare(const std::vector<Link>& before, const std::vector<Link>& now)
{
    for (const Link& l : before) {
        const bool kept = std::any_of(now.begin(), now.end(), [&](const Link& n) {
            return n.id == l.id && n.offset == l.offset && (n.size == l.size || Editable(l.id));
        });
        if (!kept && !IsFiller(l.id))
            return "chunk " + Quoted(l.id) + " at " + std::to_string(l.offset) + " moved or went";
    }
    for (const Link& n : now)
        if (!Editable(n.id) && std::none_of(before.begin(), before.end(), [&](const Link& l) {
                return l.offset == n.offset && l.id == n.id;
            }))
            return "a new chunk " + Quoted(n.id) + " at " + std::to_string(n.offset);
    return "";
}

// What a write may touch of a chunk: an editable one whole, the ds64 RIFF
// size, nothing else.
std::string Touches(const std::vector<Link>& chunks, const Piece& p, bool wide)
{
    const auto overlaps = [&](uint64_t lo, uint64_t hi) {
        return std::max(lo, p.offset) < std::min(hi, p.offset + p.bytes);
    };
    if (overlaps(0, 4) || overlaps(8, 12) || (wide && overlaps(4, 8)))
        return "write \"" + p.what + "\" touches the file header";
    for (const Link& l : chunks) {
        if (Editable(l.id))
            continue;
        const uint64_t body = l.offset + 8;
        const bool ds64 = wide && IdIs(l.id, "ds64");
        if (ds64 ? overlaps(l.offset, body) || overlaps(body + 8, body + l.size)
                 : overlaps(l.offset, body + l.size))
            return "write \"" + p.what + "\" touches chunk " + Quoted(l.id);
    }
    return "";
}

} // namespace

std::string CheckEditInPlace(const Plan& plan, const EditState& s, const EditReader& read)
{
    std::vector<Link> before;
    for (const Piece& p : plan.pieces)
        if (p.from || p.literal.size() != p.bytes || p.bytes == 0 || !p.flushAfter)
            return "write \"" + p.what + "\" is not bytes of its own, flushed";
    if (!WalkLinks(plan, 0, s, read, before))
        return "the file's chunks run past its end";
    for (size_t k = 0; k < plan.pieces.size(); k++) {
        std::vector<Link> now;
        if (!WalkLinks(plan, k, s, read, now))
            return "a chunk runs past the end before \"" + plan.pieces[k].what + "\"";
        if (std::string why = Compare(before, now); !why.empty())
            return why + " before \"" + plan.pieces[k].what + "\"";
        if (std::string why = Touches(now, plan.pieces[k], s.wide); !why.empty())
            return why;
    }
    std::vector<Link> done;
    if (!WalkLinks(plan, plan.pieces.size(), s, read, done))
        return "a chunk runs past the end when done";
    return Compare(before, done);
}

} // namespace sondrel
