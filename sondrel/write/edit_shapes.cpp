// The four shapes of an edit in place: a field within its chunk, a chunk
// that shrinks behind a JUNK, a coding history that grows into the filler
// after it, a new chunk into a filler or appended.
#include "write/edit_plan.h"

#include "decode.h"
#include "file_text.h"

#include <algorithm>

namespace sondrel
{

namespace
{

constexpr uint64_t RiffFileLimit = uint64_t{1} << 32;

// Across the ranges a snapshot holds, one after the other.
std::string ReadString(const EditReader& read, uint64_t offset, uint64_t count)
{
    std::string s(static_cast<size_t>(count), '\0');
    size_t got = 0;
    while (got < s.size()) {
        const size_t n = read(offset + got, s.data() + got, s.size() - got);
        if (n == 0)
            break;
        got += n;
    }
    s.resize(got);
    return s;
}

void Add(Plan& p, uint64_t offset, std::string bytes, std::string what)
{
    const uint64_t n = bytes.size();
    p.pieces.push_back({offset, n, std::move(bytes), std::nullopt, std::move(what), true});
}

// A chunk sized by its own field, whole: one sized through ds64 would need
// the table changed as well.
bool OwnSize(const WalkedChunk& c, const EditReader& read)
{
    const std::string h = ReadString(read, c.offset, 8);
    return c.complete && h.size() == 8 &&
           LoadLE32(reinterpret_cast<const unsigned char*>(h.data()) + 4) == c.size;
}

class Shapes
{
  public:
    Shapes(const EditState& state, const EditReader& reader, InPlace& out)
        : s(state), read(reader), ip(out), p(out.plan)
    {
        p.length = s.fileBytes;
    }
    bool Bext(const std::string& body);
    bool List(const std::vector<std::pair<std::string, std::string>>& info);
    void NewChunks(const NewBodies& b);

  private:
    bool Rewrite(const char* why)
    {
        ip.rewriteReason = why;
        return false;
    }
    void Place(const std::string& chunk);
    void Append();

    const EditState& s;
    const EditReader& read;
    InPlace& ip;
    Plan& p;
    std::vector<size_t> taken; // fillers a growing bext or a new chunk took
    std::string appended;
    std::vector<std::string> names;
};

// Shape 1, or shape 3: the new bytes inside the filler and the header of
// what remains of it, then the bext size, then the bytes from the first
// that changes.  The old history ends in a zero byte inside the chunk, so
// the bytes the chunk takes in are never read as text.
bool Shapes::Bext(const std::string& body)
{
    const WalkedChunk& c = s.visible[*s.bext];
    const uint64_t start = c.offset + 8, S = c.size;
    if (body.size() <= S) {
        DiffPiece(p, start, s.bextBody, body, "\"bext\" fields");
        return true;
    }
    const char* none = "the coding history grows and no filler after the bext chunk has room";
    if (*s.bext + 1 >= s.visible.size() || !OwnSize(c, read) ||
        s.bextBody.find('\0', BextCodingHistory) == std::string::npos)
        return Rewrite(none);
    const WalkedChunk& f = s.visible[*s.bext + 1];
    const uint64_t F = f.offset, E = F + 8 + f.size;
    if (!IsFiller(f.id) || F != start + S + (S & 1) || !OwnSize(f, read))
        return Rewrite(none);
    uint64_t S2 = std::max<uint64_t>(body.size() + (body.size() & 1), S + (S & 1) + 8);
    bool rest = start + S2 + 8 <= E;
    if (!rest) {
        S2 = E + (f.size & 1) - start; // the filler used up exactly
        if (S2 < body.size())
            return Rewrite(none);
    }
    std::string full = body;
    full.resize(static_cast<size_t>(S2), '\0');
    const uint64_t R = start + S2;
    std::string inside = full.substr(static_cast<size_t>(F + 8 - start));
    if (rest)
        inside += std::string(f.id.data(), 4) + LE32(static_cast<uint32_t>(E - R - 8));
    if (!inside.empty())
        Add(p, F + 8, inside, "\"bext\" history inside " + Quoted(f.id));
    Add(p, c.offset + 4, LE32(static_cast<uint32_t>(S2)), "\"bext\" size");
    const std::string now = ReadString(read, start, F + 8 - start);
    if (now.size() != F + 8 - start)
        return Rewrite(none);
    DiffPiece(p, start, now, full.substr(0, now.size()), "\"bext\" fields");
    taken.push_back(*s.bext + 1);
    return true;
}

// Shape 1 for values that fit their entries; shape 2 when the last entries
// go (or a killed run left a filler at the end of the list): a JUNK over
// them, then the LIST size.
bool Shapes::List(const std::vector<std::pair<std::string, std::string>>& info)
{
    const WalkedChunk& c = s.visible[*s.list];
    std::string body = s.listBody;
    std::vector<bool> removed(s.entries.size(), false);
    for (const auto& [key, cell] : info) {
        const std::string& id = key; // a lambda cannot take a structured binding in clang 14
        const auto e = std::find_if(s.entries.begin(), s.entries.end(), [&](const InfoEntry& x) {
            return x.at < s.valuesEnd && id.compare(5, 4, x.id.data(), 4) == 0;
        });
        if (e == s.entries.end())
            return Rewrite("a new INFO entry makes the LIST chunk grow");
        if (cell.empty())
            removed[static_cast<size_t>(e - s.entries.begin())] = true;
        else if (cell.size() + 1 <= e->size)
            body.replace(e->at + 8, e->size, std::string(cell).append(e->size - cell.size(), '\0'));
        else
            return Rewrite("an INFO value grows past its entry");
    }
    size_t freed = s.valuesEnd;
    for (size_t i = 0; i < s.entries.size() && s.entries[i].at < s.valuesEnd; i++) {
        if (removed[i] && freed == s.valuesEnd)
            freed = s.entries[i].at;
        else if (!removed[i] && freed != s.valuesEnd)
            return Rewrite("an INFO entry is removed before others");
    }
    if (freed < body.size() && !OwnSize(c, read))
        return Rewrite("the LIST chunk is sized through ds64");
    DiffPiece(p, c.offset + 8, s.listBody.substr(0, freed), body.substr(0, freed), "INFO values");
    if (freed == body.size())
        return true;
    const size_t junk = body.size() - freed - 8;
    DiffPiece(p, c.offset + 8 + freed, s.listBody.substr(freed),
              "JUNK" + LE32(static_cast<uint32_t>(junk)) + std::string(junk, '\0'),
              "\"JUNK\" over the last INFO entries");
    Add(p, c.offset + 4, LE32(static_cast<uint32_t>(freed)), "\"LIST\" size");
    return true;
}

// Into the first filler whose body holds the new chunk and the header of
// what remains (or exactly the new chunk): body and remaining header first,
// then the header that makes it the new chunk.
void Shapes::Place(const std::string& chunk)
{
    const FourCC id{chunk[0], chunk[1], chunk[2], chunk[3]};
    const uint64_t n = chunk.size() - 8;
    for (size_t i = 0; i < s.visible.size(); i++) {
        const WalkedChunk& f = s.visible[i];
        if (!IsFiller(f.id) || std::count(taken.begin(), taken.end(), i) ||
            (f.size != n && f.size < n + 8) || !OwnSize(f, read))
            continue;
        std::string inside = chunk.substr(8);
        const bool rest = f.size != n;
        if (rest)
            inside += std::string(f.id.data(), 4) + LE32(static_cast<uint32_t>(f.size - n - 8));
        Add(p, f.offset + 8, inside, Quoted(id) + " body inside " + Quoted(f.id));
        Add(p, f.offset, chunk.substr(0, 8), Quoted(id) + " header over " + Quoted(f.id));
        taken.push_back(i); // what remains is left for a later run
        return;
    }
    appended += chunk;
    names.push_back(Quoted(id));
}

// After the last chunk and its pad byte (written first when missing), then
// the RIFF size that makes the new chunks part of the file.  What already
// follows the last chunk must be the start of them (a killed run's).
void Shapes::Append()
{
    if (appended.empty())
        return;
    if (!s.riffEnd)
        return void(ip.refusal = "The RIFF size is unset: repair the file first");
    const std::string ds64 = s.ds64 ? ReadString(read, s.visible[*s.ds64].offset + 8, 8) : "";
    if (s.wide && ds64.size() != 8)
        return void(ip.refusal = "The file has no ds64 RIFF size to update");
    const AppendPoint point = AppendPointAfter(s.visible, s.fileBytes);
    const uint64_t at = point.at;
    if (*s.riffEnd > at)
        return void(ip.refusal =
                        "The RIFF size counts bytes after the last chunk: repair it first");
    const uint64_t tail = s.fileBytes - std::min(s.fileBytes, at);
    if (tail > appended.size() || ReadString(read, at, tail) != appended.substr(0, tail))
        return void(ip.refusal = "Bytes follow the last chunk that this run would not write");
    if (!s.wide && at + appended.size() > RiffFileLimit)
        return void(ip.refusal = "The file would pass 4 GiB, which a RIFF file cannot");
    if (point.padMissing)
        Add(p, at - 1, std::string(1, '\0'), "pad byte");
    std::string what = names[0];
    for (size_t i = 1; i < names.size(); i++)
        what += " and " + names[i];
    Add(p, at, appended, what + (names.size() > 1 ? " chunks" : " chunk"));
    const uint64_t riffSize = at + appended.size() - 8;
    if (s.wide)
        Add(p, s.visible[*s.ds64].offset + 8, LE64(riffSize), "ds64 RIFF size");
    else
        Add(p, 4, LE32(static_cast<uint32_t>(riffSize)), "RIFF size");
    p.length = at + appended.size();
}

void Shapes::NewChunks(const NewBodies& b)
{
    const auto chunk = [](const char* id, const std::string& body) {
        return id + LE32(static_cast<uint32_t>(body.size())) + body +
               (body.size() % 2 ? std::string(1, '\0') : "");
    };
    if (b.bext && !s.bext)
        Place(chunk("bext", *b.bext));
    if (b.list && !s.list)
        Place(chunk("LIST", *b.list));
    if (b.ixml && !s.ixml)
        Place(chunk("iXML", *b.ixml));
    Append();
}

} // namespace

void DiffPiece(Plan& p, uint64_t at, const std::string& before, const std::string& after,
               const std::string& what)
{
    size_t first = 0, last = after.size();
    while (first < last && first < before.size() && before[first] == after[first])
        first++;
    while (last > first && last <= before.size() && before[last - 1] == after[last - 1])
        last--;
    if (first < last)
        Add(p, at + first, after.substr(first, last - first), what);
}

InPlace PlanInPlace(const EditState& s, const NewBodies& b, const EditReader& read,
                    const std::vector<std::pair<std::string, std::string>>* info)
{
    InPlace ip;
    Shapes shapes(s, read, ip);
    if (b.ixml && s.ixml)
        ip.rewriteReason = "the iXML document is replaced";
    else if ((!b.bext || !s.bext || shapes.Bext(*b.bext)) &&
             (!info || !s.list || shapes.List(*info)))
        shapes.NewChunks(b);
    if (!ip.rewriteReason.empty() || !ip.refusal.empty())
        ip.plan = Plan{};
    return ip;
}

} // namespace sondrel
