// Plans of writes: the new-file check and the writer.
#include "write/plan.h"

#include "bytes.h"
#include "decode.h"
#include "file_text.h"
#include "inspect/walk.h"
#include "riff.h"
#include "write/durable.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sondrel {

namespace
{

// Reads the planned file's bytes: literal pieces, or the input they copy.
class PlannedFile
{
  public:
    PlannedFile(const Plan& p, const InputReader& r) : plan(p), read(r) {}

    bool Read(uint64_t offset, unsigned char* buffer, size_t count) const
    {
        while (count > 0) {
            const Piece* p = PieceAt(offset);
            if (!p)
                return false;
            const uint64_t into = offset - p->offset;
            const auto n = static_cast<size_t>(std::min<uint64_t>(count, p->bytes - into));
            if (p->from) {
                if (read(*p->from + into, buffer, n) != n)
                    return false;
            } else {
                std::memcpy(buffer, p->literal.data() + into, n);
            }
            offset += n;
            buffer += n;
            count -= n;
        }
        return true;
    }

  private:
    const Piece* PieceAt(uint64_t offset) const
    {
        const auto it =
            std::upper_bound(plan.pieces.begin(), plan.pieces.end(), offset,
                             [](uint64_t at, const Piece& piece) { return at < piece.offset; });
        if (it == plan.pieces.begin())
            return nullptr;
        const Piece& p = *std::prev(it);
        return offset - p.offset < p.bytes ? &p : nullptr;
    }

    const Plan& plan;
    const InputReader& read;
};

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

// The ds64 body at `at`, `bytes` long: its sizes and as much of its table
// as it holds, an entry at a time (a forged count must not size a buffer).
template <typename File> bool ReadDs64(const File& f, uint64_t at, uint64_t bytes, Ds64Record& d)
{
    unsigned char b[Ds64FixedBytes];
    if (bytes < sizeof b || !f.Read(at, b, sizeof b))
        return false;
    d = DecodeDs64(b, sizeof b);
    const uint64_t entries = std::min<uint64_t>(LoadLE32(b + 24), (bytes - sizeof b) / 12);
    for (uint64_t i = 0; i < entries; i++) {
        unsigned char e[12];
        if (!f.Read(at + sizeof b + 12 * i, e, sizeof e))
            return false;
        d.table.push_back({IdAt(e), LoadLE64(e + 4)});
    }
    return true;
}

// A chunk's size: its field, or through ds64 when the field says so.
uint64_t Resolved(const unsigned char* header, const Ds64Record* ds64)
{
    const uint32_t field = LoadLE32(header + 4);
    if (!ds64 || field != SizeFromDs64)
        return field;
    if (std::memcmp(header, "data", 4) == 0)
        return ds64->dataSize;
    for (const Ds64Entry& e : ds64->table)
        if (std::memcmp(e.id.data(), header, 4) == 0)
            return e.size;
    return field;
}

// Walks the planned file's chunks: each header's size (through ds64 for
// RF64/BW64) must lead exactly to the next chunk and the last to the end.
std::string CheckChunks(const Plan& plan, const PlannedFile& f, bool wide)
{
    Ds64Record ds64;
    bool sawData = false;
    for (uint64_t at = 12; at < plan.length;) {
        unsigned char h[8];
        if (plan.length - at < 8 || !f.Read(at, h, 8))
            return "a chunk header at " + std::to_string(at) + " is cut short";
        if (wide && at == 12) {
            if (std::memcmp(h, "ds64", 4) != 0 || !ReadDs64(f, at + 8, LoadLE32(h + 4), ds64))
                return "the first chunk is not a ds64 chunk";
            if (ds64.riffSize != plan.length - 8 || ds64.sampleCount != plan.frames)
                return "the ds64 RIFF size or sample count is wrong";
        }
        const uint64_t size = Resolved(h, wide ? &ds64 : nullptr);
        if (std::memcmp(h, "data", 4) == 0 && !sawData) {
            sawData = true;
            if (at + 8 != plan.audio.offset || size != plan.audio.bytes)
                return "the data chunk does not hold exactly the audio";
        }
        const uint64_t next = at + 8 + size + (size & 1);
        if (next < at || next > plan.length)
            return "chunk at " + std::to_string(at) + " runs past the end";
        at = next;
    }
    return sawData ? "" : "no data chunk";
}

// The file as it is once the first `count` pieces of a plan are written
// into it; bytes past its old end that no piece wrote read as zeros.
class Overlay
{
  public:
    Overlay(const Plan& p, uint64_t base, const InputReader& r, size_t count)
        : plan(p), baseBytes(base), read(r), written(count), length(base)
    {
        for (size_t i = 0; i < count; i++)
            length = std::max(length, p.pieces[i].offset + p.pieces[i].bytes);
    }
    uint64_t Length() const { return length; }

    bool Read(uint64_t offset, unsigned char* buffer, size_t count) const
    {
        if (offset > length || length - offset < count)
            return false;
        std::memset(buffer, 0, count);
        if (offset < baseBytes) {
            const auto n = static_cast<size_t>(std::min<uint64_t>(count, baseBytes - offset));
            if (read(offset, buffer, n) != n)
                return false;
        }
        for (size_t i = 0; i < written; i++) {
            const Piece& p = plan.pieces[i];
            const uint64_t from = std::max(offset, p.offset);
            const uint64_t to = std::min(offset + count, p.offset + p.bytes);
            if (from < to)
                std::memcpy(buffer + (from - offset), p.literal.data() + (from - p.offset),
                            static_cast<size_t>(to - from));
        }
        return true;
    }

  private:
    const Plan& plan;
    uint64_t baseBytes;
    const InputReader& read;
    size_t written;
    uint64_t length;
};

struct Link {
    FourCC id;
    uint64_t offset, size;
    bool operator==(const Link&) const = default;
};

// The chunks from the file header to the RIFF end (or the end of the file
// when the size does not say), walked as the inspector walks them: past the
// RIFF end only a printable id whose body fits is a chunk, and it is not
// listed (it is not part of the file yet).
struct Chain {
    std::vector<Link> chunks;
    bool wide = false;
    bool cut = false;   // a chunk runs past the end of the file
    bool ended = false; // the chunks reach the RIFF end or the file's exactly
};

Chain WalkChain(const Overlay& f)
{
    Chain c;
    unsigned char head[12];
    if (!f.Read(0, head, sizeof head) || MagicOf(head) == Magic::Other) {
        c.cut = true;
        return c;
    }
    c.wide = MagicOf(head) == Magic::Rf64;
    constexpr uint64_t NoEnd = UINT64_MAX; // no offset reaches it
    uint64_t riffEnd = c.wide ? NoEnd : EndFromSize(LoadLE32(head + 4)).value_or(NoEnd);
    Ds64Record ds64;
    bool haveDs64 = false;
    static constexpr unsigned char Zeros[8] = {};
    for (uint64_t at = 12, n = 0; n < MaxWalkedChunks; n++) {
        c.ended = c.ended || at == riffEnd || at >= f.Length();
        unsigned char h[8];
        if (at >= f.Length() || f.Length() - at < 8 || !f.Read(at, h, 8) ||
            std::memcmp(h, Zeros, 8) == 0 || MagicOf(h) != Magic::Other)
            break; // the end, or what is not a chunk: trailing bytes
        if (c.wide && !haveDs64 && std::memcmp(h, "ds64", 4) == 0 &&
            (haveDs64 = ReadDs64(f, at + 8, LoadLE32(h + 4), ds64)))
            riffEnd = EndFromSize(ds64.riffSize).value_or(NoEnd);
        const bool past = at >= riffEnd;
        const uint64_t size = Resolved(h, c.wide && haveDs64 ? &ds64 : nullptr);
        if (size > f.Length() - at - 8 || (past && !IsPrintableId(h))) {
            c.cut = !past;
            break;
        }
        if (!past)
            c.chunks.push_back({IdAt(h), at, size});
        at += 8 + size + (size & 1);
    }
    return c;
}

std::string At(const Link& l)
{
    return Quoted(l.id) + " at " + std::to_string(l.offset);
}

// Every chunk but a filler stays where it was with its size; the new ones
// are MD5, bext or fillers; none is cut short; chunks that reached the RIFF
// end still do.
std::string CompareChains(const Chain& before, const Chain& now)
{
    if (now.cut)
        return "a chunk runs past the end of the file";
    if (before.ended && !now.ended)
        return "the chunks no longer reach the RIFF end";
    const auto has = [](const Chain& c, const Link& l) {
        return std::find(c.chunks.begin(), c.chunks.end(), l) != c.chunks.end();
    };
    for (const Link& l : before.chunks)
        if (!IsFiller(l.id) && !has(now, l))
            return "chunk " + At(l) + " is gone or changed";
    for (const Link& l : now.chunks)
        if (!has(before, l) && !IsFiller(l.id) && !IdIs(l.id, "MD5 ") && !IdIs(l.id, "bext"))
            return "a new chunk " + At(l);
    return "";
}

// What a piece may write of a chunk: a filler whole, an MD5 body, the bext
// version and loudness (bytes 346 to 421 of its body), the ds64 RIFF size.
std::pair<uint64_t, uint64_t> Writable(const Link& l, bool firstDs64)
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
    for (const Link& l : c.chunks) {
        const bool ds64 = firstDs64 && IdIs(l.id, "ds64");
        firstDs64 = firstDs64 && !ds64;
        if (outside(l.offset, l.offset + 8 + l.size, Writable(l, ds64)))
            return "piece \"" + p.what + "\" writes into chunk " + At(l);
    }
    return "";
}

} // namespace

bool IsFiller(const FourCC& id)
{
    return IdIs(id, "JUNK") || IdIs(id, "PAD ") || IdIs(id, "FLLR");
}

std::string LE16(uint16_t v)
{
    std::string s(2, '\0');
    StoreLE16(reinterpret_cast<unsigned char*>(s.data()), v);
    return s;
}

std::string LE32(uint32_t v)
{
    std::string s(4, '\0');
    StoreLE32(reinterpret_cast<unsigned char*>(s.data()), v);
    return s;
}

std::string LE64(uint64_t v)
{
    return LE32(static_cast<uint32_t>(v)) + LE32(static_cast<uint32_t>(v >> 32));
}

std::string CheckNewFile(const Plan& plan, uint64_t inputBytes, const InputReader& read)
{
    if (std::string problem = CheckPieces(plan, inputBytes); !problem.empty())
        return problem;
    const PlannedFile f(plan, read);
    unsigned char head[12];
    if (plan.length < 12 || !f.Read(0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0)
        return "no WAVE header";
    const bool wide = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
    if (!wide && std::memcmp(head, "RIFF", 4) != 0)
        return "no RIFF, RF64 or BW64 magic";
    const uint32_t riffField = LoadLE32(head + 4);
    if (wide ? riffField != SizeFromDs64
             : riffField != plan.length - 8 || riffField == SizeFromDs64)
        return "the RIFF size is wrong";
    return CheckChunks(plan, f, wide);
}

std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const InputReader& read)
{
    for (const Piece& p : plan.pieces)
        if (p.from || p.bytes == 0 || p.literal.size() != p.bytes || !p.flushAfter)
            return "piece \"" + p.what + "\" is not bytes of its own, flushed";
    const Chain before = WalkChain(Overlay(plan, fileBytes, read, 0));
    if (before.cut)
        return "the file's chunks run past its end";
    for (size_t k = 0; k <= plan.pieces.size(); k++) {
        const Chain now = k == 0 ? before : WalkChain(Overlay(plan, fileBytes, read, k));
        if (std::string problem = CompareChains(before, now); !problem.empty())
            return problem + " after \"" + plan.pieces[k - 1].what + "\"";
        if (k == plan.pieces.size())
            break;
        if (std::string problem = Touches(now, plan.pieces[k]); !problem.empty())
            return problem;
    }
    return "";
}

int WritePlan(const Plan& plan, int in, int out, const char** failedStep)
{
    for (const Piece& p : plan.pieces) {
        *failedStep = "write";
        const int e = p.from ? CopyRange(in, *p.from, out, p.offset, p.bytes)
                             : WriteAllAt(out, p.literal.data(), p.literal.size(), p.offset);
        if (e != 0)
            return e;
        *failedStep = "flush";
        if (p.flushAfter)
            if (const int f = Flush(out))
                return f;
    }
    return 0;
}

} // namespace sondrel
