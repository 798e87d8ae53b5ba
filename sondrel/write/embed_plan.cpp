// The embed planner.
#include "write/embed_plan.h"

#include "decode.h"
#include "file_text.h"
#include "write/bext_loudness.h"

#include <algorithm>

namespace sondrel {

namespace
{

constexpr uint64_t BodyReadBytes = 1024; // of each chunk the plan reads: bext's 602 and more
constexpr uint64_t BextBytes = BextCodingHistory;
constexpr uint64_t RiffFileLimit = uint64_t{1} << 32; // 32-bit offsets reach no further

bool IsRead(const FourCC& id)
{
    return IsFiller(id) || IdIs(id, "fmt ") || IdIs(id, "ds64") || IdIs(id, "MD5 ") ||
           IdIs(id, "bext");
}

// What the plan reads of the file's record.
struct Source {
    explicit Source(const Record& r)
        : chunks(r.chunks), fileBytes(r.fileBytes.value_or(0)), riffEnd(r.walked.riffEnd),
          wide(r.walked.wide), wave(!r.error)
    {
        for (const WalkNote& n : r.walked.notes)
            walkCut = walkCut || n.issue == WalkIssue::ChunkLimit;
        for (const WalkedChunk& c : chunks)
            if (IdIs(c.id, "ds64") && !ds64)
                ds64 = &c;
    }
    uint64_t InFile(const WalkedChunk& c) const { return c.InFile(fileBytes); }

    const std::vector<WalkedChunk>& chunks;
    uint64_t fileBytes;
    std::optional<uint64_t> riffEnd; // where the RIFF size says the file ends
    bool wide;                       // RF64 or BW64
    bool wave;                       // walked as a WAVE file
    bool walkCut = false;            // the walk stopped at its chunk limit
    const WalkedChunk* ds64 = nullptr;
};

// The chunks the RIFF size covers.  One past it is not part of the file
// (what a killed run appended, or junk): it is neither used nor counted.
std::vector<WalkedChunk> Visible(const Source& s)
{
    std::vector<WalkedChunk> v;
    for (const WalkedChunk& c : s.chunks)
        if (!s.riffEnd || c.offset < *s.riffEnd)
            v.push_back(c);
    return v;
}

AppendPoint AppendPointOf(const Source& s)
{
    return AppendPointAfter(Visible(s), s.fileBytes);
}

std::string ReadString(const ByteReader& read, uint64_t offset, uint64_t count)
{
    std::string s(static_cast<size_t>(count), '\0');
    int error = 0;
    s.resize(read(offset, s.data(), s.size(), &error));
    return s;
}

const WalkedChunk* First(const std::vector<WalkedChunk>& chunks, const char (&id)[5])
{
    for (const WalkedChunk& c : chunks)
        if (IdIs(c.id, id))
            return &c;
    return nullptr;
}

struct Filler {
    FourCC id;
    uint64_t offset, size;
};

class Planner
{
  public:
    Planner(const Source& source, const ByteReader& reader, bool overwrite, EmbedPlan& out)
        : s(source), read(reader), replace(overwrite), plan(out.plan), refusal(out.refusal),
          changes(out.changes)
    {
    }
    void Refuse(std::string why)
    {
        if (refusal.empty())
            refusal = std::move(why);
    }
    void FindFillers(const std::vector<WalkedChunk>& visible);
    void Md5(const WalkedChunk* chunk, const std::array<uint8_t, 16>& digest);
    void Bext(const WalkedChunk* chunk, const LoudnessFigures& figures);
    void Append();
    void Finish();

  private:
    void Add(uint64_t offset, std::string bytes, std::string what)
    {
        const uint64_t n = bytes.size();
        plan.pieces.push_back({offset, n, std::move(bytes), std::nullopt, std::move(what), true});
    }
    void Place(const std::string& chunk);

    void Loudness(const std::string& old, const LoudnessFigures& figures);

    const Source& s;
    const ByteReader& read;
    bool replace;
    Plan& plan;
    std::string& refusal;
    std::vector<Change>& changes;
    std::vector<Filler> fillers; // in file order, what is left of each
    std::string appended;        // chunks for the end of the file
    std::vector<std::string> appendedNames;
    bool appendMade = false;
};

// Fillers sized by their own field: one sized through ds64 would need its
// table changed as well.
void Planner::FindFillers(const std::vector<WalkedChunk>& visible)
{
    for (const WalkedChunk& c : visible) {
        const std::string header = ReadString(read, c.offset, 8);
        if (IsFiller(c.id) && c.complete && c.Sized() && header.size() == 8 &&
            LoadLE32(reinterpret_cast<const unsigned char*>(header.data()) + 4) == c.size)
            fillers.push_back({c.id, c.offset, c.size});
    }
}

// Into the first filler whose body holds the new body and the header of
// what remains (or exactly the new body): body and remaining header first,
// inside the filler, then the header that makes it the new chunk.
void Planner::Place(const std::string& chunk)
{
    const FourCC id{chunk[0], chunk[1], chunk[2], chunk[3]};
    const uint64_t n = chunk.size() - 8;
    for (auto f = fillers.begin(); f != fillers.end(); ++f) {
        if (f->size != n && f->size < n + 8)
            continue;
        Append(); // an MD5 appended goes first
        std::string inside = chunk.substr(8);
        const bool rest = f->size != n;
        if (rest)
            inside += std::string(f->id.data(), 4) + LE32(static_cast<uint32_t>(f->size - n - 8));
        Add(f->offset + 8, inside,
            Quoted(id) + (rest ? " body and " + Quoted(f->id) + " header" : " body") + " inside " +
                Quoted(f->id));
        Add(f->offset, chunk.substr(0, 8), Quoted(id) + " header over " + Quoted(f->id));
        if (rest)
            *f = {f->id, f->offset + 8 + n, f->size - n - 8};
        else
            fillers.erase(f);
        return;
    }
    appended += chunk;
    appendedNames.push_back(Quoted(id));
}

// Left when equal, filled when 16 zero bytes hold its place, a new chunk
// when there is none; a different one is the audio changed since.
void Planner::Md5(const WalkedChunk* chunk, const std::array<uint8_t, 16>& digest)
{
    const std::string value(digest.begin(), digest.end());
    if (!chunk) {
        Place("MD5 " + LE32(16) + value);
        return;
    }
    if (chunk->size != 16)
        return Refuse("The MD5 chunk's size is not 16");
    const std::string stored = ReadString(read, chunk->offset + 8, 16);
    const auto hex = [](const std::string& b) {
        return ShownValue{Hex(reinterpret_cast<const unsigned char*>(b.data()), b.size()), {}};
    };
    if (stored.size() != 16)
        return Refuse("The MD5 chunk could not be read");
    if (stored == value)
        return;
    const bool placeholder = stored == std::string(16, '\0');
    if (!placeholder && !replace)
        return Refuse("The stored MD5 differs from the audio's: the audio changed since it was "
                      "stored (--replace overwrites it)");
    Add(chunk->offset + 8, value, "\"MD5 \" body");
    changes.push_back({"md5.stored", placeholder ? ShownValue{} : hex(stored), hex(value)});
}

// The version and loudness fields, the UMID between them written back as
// read (one write of bytes 346 to 421); or a new chunk of version 2.
void Planner::Bext(const WalkedChunk* chunk, const LoudnessFigures& figures)
{
    if (!chunk) {
        std::string body(BextBytes, '\0');
        body.replace(BextVersion, 2, LE16(2));
        body.replace(BextLoudness, 10, LoudnessBytes(figures));
        Place("bext" + LE32(static_cast<uint32_t>(body.size())) + body);
        return;
    }
    if (chunk->size < BextBytes)
        return Refuse("The bext chunk is shorter than 602 bytes");
    const uint64_t at = chunk->offset + 8 + BextVersion;
    const std::string old = ReadString(read, at, BextLoudness + 10 - BextVersion);
    if (old.size() != BextLoudness + 10 - BextVersion)
        return Refuse("The bext chunk could not be read");
    const std::string fields =
        LE16(2) + old.substr(2, BextLoudness - BextUmid) + LoudnessBytes(figures);
    if (fields == old)
        return;
    Loudness(old, figures);
    Append(); // an MD5 appended goes first
    Add(at, fields, "\"bext\" version and loudness");
}

// Stored values that another meter measured (version 2, not all zero) and
// that differ from these are kept unless asked to replace them.
void Planner::Loudness(const std::string& old, const LoudnessFigures& figures)
{
    static const char* const Keys[] = {"integrated_lufs", "range_lu", "max_true_peak_dbtp",
                                       "max_momentary_lufs", "max_short_term_lufs"};
    const auto* b = reinterpret_cast<const unsigned char*>(old.data());
    const bool measured =
        LoadLE16(b) >= 2 && old.substr(BextLoudness - BextVersion, 10) != std::string(10, '\0');
    const std::string now = LoudnessBytes(figures);
    const auto shown = [](uint16_t field) {
        return field == 0x7FFF ? ShownValue{} : ShownValue{{}, static_cast<int16_t>(field) / 100.0};
    };
    bool differs = false;
    for (size_t i = 0; i < 5; i++) {
        const uint16_t was = LoadLE16(b + BextLoudness - BextVersion + 2 * i);
        const uint16_t will = LoadLE16(reinterpret_cast<const unsigned char*>(now.data()) + 2 * i);
        differs = differs || (measured && was != 0x7FFF && was != will);
        if (was != will || !measured)
            changes.push_back({std::string("bext.loudness.") + Keys[i],
                               measured ? shown(was) : ShownValue{}, shown(will)});
    }
    if (differs && !replace)
        Refuse("The stored loudness differs from the audio's (--replace overwrites it)");
}

// After the last chunk: the pad byte it lacks, the new chunks, then the
// RIFF size that makes them part of the file.  What already follows the
// last chunk must be the start of those bytes (a killed run's).  Made once
// at most: a bext that goes elsewhere than the end comes after an MD5 that
// did, and an MD5 that found room left the end to bext alone.
void Planner::Append()
{
    if (appended.empty())
        return;
    const std::string chunks = std::move(appended);
    appended.clear();
    appendMade = true;
    if (!s.riffEnd)
        return Refuse("The RIFF size is unset: chunks appended would count before they are whole");
    const WalkedChunk* ds64 = s.ds64;
    if (s.wide && (!ds64 || s.InFile(*ds64) < 8))
        return Refuse("The file has no ds64 RIFF size to update");
    const AppendPoint p = AppendPointOf(s);
    // Chunks appended where the RIFF size already reaches would count before
    // the size is written, and a rerun could not tell them from the file's.
    if (*s.riffEnd > p.at)
        return Refuse("The RIFF size counts bytes after the last chunk: repair the file first");
    const uint64_t tail = s.fileBytes - std::min(s.fileBytes, p.at);
    if (tail > chunks.size() || ReadString(read, p.at, tail) != chunks.substr(0, tail))
        return Refuse("Bytes follow the last chunk that this run would not write");
    const uint64_t riffSize = p.at + chunks.size() - 8;
    if (!s.wide && p.at + chunks.size() > RiffFileLimit)
        return Refuse("The file would pass 4 GiB, which a RIFF file cannot");
    if (p.padMissing)
        Add(p.at - 1, std::string(1, '\0'), "pad byte");
    std::string names = appendedNames[0];
    for (size_t i = 1; i < appendedNames.size(); i++)
        names += " and " + appendedNames[i];
    Add(p.at, chunks, names + (appendedNames.size() > 1 ? " chunks" : " chunk"));
    if (s.wide)
        Add(ds64->offset + 8, LE64(riffSize), "ds64 RIFF size");
    else
        Add(4, LE32(static_cast<uint32_t>(riffSize)), "RIFF size");
    plan.length = p.at + chunks.size();
}

// Whatever is appended; bytes after the last chunk that no append of this
// run explains are junk or another file, and the file is left to repair.
void Planner::Finish()
{
    Append();
    if (!appendMade && AppendPointOf(s).at < s.fileBytes)
        Refuse("Bytes follow the last chunk that this run would not write");
}

std::string StructureRefusal(const Source& s, const std::vector<WalkedChunk>& visible)
{
    if (!s.wave)
        return "Not a WAVE file";
    if (s.walkCut)
        return "The file has more chunks than are walked";
    for (const WalkedChunk& c : visible) {
        if (!c.Sized())
            return "A chunk's size is unset or unknown: repair the file first";
        if (!c.complete)
            return "The file is cut short: repair it first";
    }
    const WalkedChunk* data = First(s.chunks, "data");
    if (!data || !First(s.chunks, "fmt "))
        return "The file has no audio to measure";
    // Readers take an empty last data chunk for an unfinalised recording
    // and would play what is appended after it as audio.
    if (data->size == 0 && !visible.empty() && data->offset == visible.back().offset)
        return "The data chunk is empty and last: readers would play chunks appended after it "
               "as audio";
    return "";
}

} // namespace

std::vector<ByteRange> PlannedReads(const Record& record)
{
    const Source s(record);
    std::vector<ByteRange> r = {{0, std::min<uint64_t>(12, s.fileBytes), "file header"}};
    for (const WalkedChunk& c : s.chunks)
        r.push_back({c.offset, 8, Quoted(c.id) + " header"});
    for (const WalkedChunk& c : Visible(s))
        if (IsRead(c.id) && s.InFile(c) > 0)
            r.push_back(
                {c.offset + 8, std::min(s.InFile(c), BodyReadBytes), Quoted(c.id) + " body"});
    const AppendPoint p = AppendPointOf(s);
    if (p.at < s.fileBytes)
        r.push_back({p.at, std::min(s.fileBytes - p.at, BodyReadBytes), "after the last chunk"});
    return r;
}

EmbedPlan PlanEmbed(const Record& r, const ByteReader& read, const EmbedValues& v)
{
    EmbedPlan out;
    const Source s(r);
    const std::vector<WalkedChunk> visible = Visible(s);
    out.refusal = StructureRefusal(s, visible);
    if (!out.refusal.empty())
        return out;
    const WalkedChunk& data = *First(s.chunks, "data");
    out.plan.length = s.fileBytes;
    out.plan.audio = {data.offset + 8, s.InFile(data), "audio"};
    out.plan.audioFrom = data.offset + 8;
    Planner p(s, read, v.replace, out);
    p.FindFillers(visible);
    if (v.md5)
        p.Md5(First(visible, "MD5 "), *v.md5);
    if (v.loudness)
        p.Bext(First(visible, "bext"), *v.loudness);
    p.Finish();
    if (!out.refusal.empty()) {
        out.plan = Plan{};
        out.changes.clear();
    }
    return out;
}

} // namespace sondrel
