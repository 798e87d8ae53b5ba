// The in-place check of an edit: the file as each prefix of the writes
// leaves it, walked chunk by chunk.
#include "write/edit_check.h"

#include "decode.h"
#include "file_text.h"
#include "riff.h"

#include <algorithm>
#include <cstring>

namespace sondrel {

namespace
{

// The file after the first `count` pieces.
struct Overlay {
    const Plan& plan;
    const InputReader& read;
    uint64_t base, length;
    size_t count;

    bool Read(uint64_t at, unsigned char* buffer, size_t n) const
    {
        if (at > length || length - at < n)
            return false;
        std::memset(buffer, 0, n);
        if (at < base) {
            const auto m = static_cast<size_t>(std::min<uint64_t>(n, base - at));
            if (read(at, buffer, m) != m)
                return false;
        }
        for (size_t i = 0; i < count; i++) {
            const Piece& p = plan.pieces[i];
            const uint64_t from = std::max(at, p.offset), to = std::min(at + n, p.offset + p.bytes);
            if (from < to)
                std::memcpy(buffer + (from - at), p.literal.data() + (from - p.offset),
                            static_cast<size_t>(to - from));
        }
        return true;
    }
};

struct Link {
    FourCC id;
    uint64_t offset, size;
};

// The chunks up to the RIFF end (its field, or the ds64 one); `cut` when
// one runs past the end of the file.
bool WalkLinks(const Overlay& f, bool wide, std::vector<Link>& chunks)
{
    unsigned char h[12];
    if (!f.Read(0, h, 12))
        return false;
    uint64_t end = f.length;
    if (!wide)
        end = std::min(end, EndFromSize(LoadLE32(h + 4)).value_or(end));
    for (uint64_t at = 12; at + 8 <= end && chunks.size() < MaxWalkedChunks;) {
        if (!f.Read(at, h, 8))
            return false;
        uint64_t size = LoadLE32(h + 4);
        if (wide && at == 12 && IdIs(IdAt(h), "ds64")) {
            unsigned char d[24];
            if (!f.Read(at + 8, d, 24))
                return false;
            end = std::min(end, EndFromSize(LoadLE64(d)).value_or(end));
        }
        if (wide && size == SizeFromDs64 && IdIs(IdAt(h), "data")) {
            unsigned char d[8];
            if (!f.Read(20 + 8, d, 8))
                return false;
            size = LoadLE64(d);
        }
        if (size > f.length - at - 8)
            return false;
        chunks.push_back({IdAt(h), at, size});
        at += 8 + size + (size & 1);
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

std::string CheckEditInPlace(const Plan& plan, const EditState& s, const InputReader& read)
{
    std::vector<Link> before;
    for (const Piece& p : plan.pieces)
        if (p.from || p.literal.size() != p.bytes || p.bytes == 0 || !p.flushAfter)
            return "write \"" + p.what + "\" is not bytes of its own, flushed";
    if (!WalkLinks({plan, read, s.fileBytes, s.fileBytes, 0}, s.wide, before))
        return "the file's chunks run past its end";
    uint64_t length = s.fileBytes;
    for (size_t k = 0; k < plan.pieces.size(); k++) {
        std::vector<Link> now;
        const Overlay f{plan, read, s.fileBytes, length, k};
        if (!WalkLinks(f, s.wide, now))
            return "a chunk runs past the end before \"" + plan.pieces[k].what + "\"";
        if (std::string why = Compare(before, now); !why.empty())
            return why + " before \"" + plan.pieces[k].what + "\"";
        if (std::string why = Touches(now, plan.pieces[k], s.wide); !why.empty())
            return why;
        length = std::max(length, plan.pieces[k].offset + plan.pieces[k].bytes);
    }
    std::vector<Link> done;
    if (!WalkLinks({plan, read, s.fileBytes, length, plan.pieces.size()}, s.wide, done))
        return "a chunk runs past the end when done";
    return Compare(before, done);
}

} // namespace sondrel
