// The metadata chunks in the record: bext, LIST/INFO, cue points with their
// LIST/adtl texts, iXML and MD5.
#include "inspect/metadata.h"

#include "file_text.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace sondrel {

namespace
{

// Metadata chunks are read whole up to this size; an iXML body above it is
// not parsed at all, so memory stays bounded whatever the file claims.
constexpr uint64_t MaxMetadataBytes = uint64_t{16} << 20;

// 43,690 cue points: each becomes an object of the record, held in memory
// until the line is written.
constexpr uint64_t MaxCueBytes = uint64_t{1} << 20;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits where `pattern` has 'd', one of the usual separators where it has '-'.
bool MatchesDateTime(const std::string& text, const char* pattern)
{
    if (text.size() != std::strlen(pattern))
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        const bool ok =
            pattern[i] == 'd' ? IsDigit(text[i]) : std::strchr("-_: .", text[i]) != nullptr;
        if (!ok)
            return false;
    }
    return true;
}

void DescribeBext(Record& r, FileWalk& f, const WalkedChunk& c)
{
    const std::vector<unsigned char> body = f.ReadBody(c, MaxMetadataBytes);
    r.bext = DecodeBext(body.data(), body.size());
    r.bext->cut = !c.complete;
    // Only a field the file holds whole is judged.
    if (r.bext->Has(BextDate, 10) && !r.bext->date.empty() &&
        !MatchesDateTime(r.bext->date, "dddd-dd-dd"))
        AddChunkFinding(r.findings, Code::BextDateFormat, c.id, c.offset,
                        "The origination date \"" + Text(r.bext->date) + "\" is not yyyy-mm-dd.");
    if (r.bext->Has(BextTime, 8) && !r.bext->time.empty() &&
        !MatchesDateTime(r.bext->time, "dd-dd-dd"))
        AddChunkFinding(r.findings, Code::BextTimeFormat, c.id, c.offset,
                        "The origination time \"" + Text(r.bext->time) + "\" is not hh:mm:ss.");
}

// Cue texts by cue id, from every LIST/adtl chunk; the first text wins.
// Only the ids of cue points are kept, so memory follows the cue chunk.
struct CueTexts {
    std::unordered_set<uint32_t> wanted;
    bool allPointsRead = true; // a text naming no cue point is then an orphan
    std::unordered_map<uint32_t, std::string> label, note, text;
};

// As many orphan texts are listed as cue points are read; a 16 MiB LIST
// of them must not grow the record a hundredfold.
constexpr size_t MaxOrphanTexts = MaxCueBytes / 24;

void NoteOrphan(AcrossChunks& a, const SubChunk& sub, uint32_t id, uint64_t listOffset)
{
    if (a.orphanTexts.size() < MaxOrphanTexts) {
        a.orphanTexts.push_back({sub.id, id, listOffset});
        return;
    }
    if (a.orphansUnlisted++ == 0)
        a.firstUnlistedAt = listOffset;
}

// `cut`: the sub-chunk's text runs past the end of the file, so it has none.
void TakeAdtl(const SubChunk& sub, bool cut, CueTexts& texts, AcrossChunks& a, uint64_t listOffset)
{
    const bool isText = IdIs(sub.id, "labl") || IdIs(sub.id, "note") || IdIs(sub.id, "ltxt");
    if (!isText || sub.size < 4)
        return;
    const uint32_t id = LoadLE32(sub.body);
    if (!texts.wanted.count(id)) {
        if (texts.allPointsRead)
            NoteOrphan(a, sub, id, listOffset);
        return;
    }
    if (cut)
        return;
    if (IdIs(sub.id, "labl"))
        texts.label.emplace(id, FieldText(sub.body + 4, sub.size - 4));
    else if (IdIs(sub.id, "note"))
        texts.note.emplace(id, FieldText(sub.body + 4, sub.size - 4));
    else if (IdIs(sub.id, "ltxt") && sub.size >= LabelledTextHeader)
        texts.text.emplace(id,
                           FieldText(sub.body + LabelledTextHeader, sub.size - LabelledTextHeader));
}

void DescribeLists(Record& r, FileWalk& f, CueTexts& texts)
{
    std::unordered_set<std::string> seen; // INFO ids: the first occurrence wins
    for (const WalkedChunk& c : r.chunks) {
        if (!IdIs(c.id, "LIST"))
            continue;
        const std::vector<unsigned char> body = f.ReadBody(c, MaxMetadataBytes);
        if (body.size() < 4)
            continue;
        const bool info = std::memcmp(body.data(), "INFO", 4) == 0;
        const bool adtl = std::memcmp(body.data(), "adtl", 4) == 0;
        for (const SubChunk& sub : SplitSubChunks(body.data(), body.size())) {
            // A list cut by the end of the file: its last text is not all there.
            const bool cut = !sub.whole && !c.complete;
            if (info) {
                if (seen.insert(std::string(sub.id.data(), 4)).second)
                    r.info.emplace_back(sub.id, cut ? std::nullopt
                                                    : std::optional(FieldText(sub.body, sub.size)));
            } else if (adtl) {
                TakeAdtl(sub, cut, texts, r.across, c.offset);
            }
        }
    }
}

std::optional<std::string> Lookup(const std::unordered_map<uint32_t, std::string>& m, uint32_t id)
{
    const auto it = m.find(id);
    return it == m.end() ? std::nullopt : std::optional<std::string>(it->second);
}

std::vector<CuePoint> ReadCuePoints(FileWalk& f, const WalkedChunk* cue, CueTexts& texts)
{
    if (!cue)
        return {};
    const std::vector<unsigned char> body = f.ReadBody(*cue, MaxCueBytes);
    texts.allPointsRead = cue->complete && cue->size <= MaxCueBytes;
    std::vector<CuePoint> points = DecodeCues(body.data(), body.size());
    for (const CuePoint& p : points)
        texts.wanted.insert(p.id);
    return points;
}

void DescribeCues(Record& r, const std::vector<CuePoint>& points, const CueTexts& texts)
{
    for (const CuePoint& p : points)
        r.cues.push_back(
            {p, Lookup(texts.label, p.id), Lookup(texts.note, p.id), Lookup(texts.text, p.id)});
}

void DescribeIxml(Record& r, FileWalk& f, const WalkedChunk& c)
{
    IxmlInfo x;
    x.bytes = c.size;
    if (c.size > MaxMetadataBytes) {
        AddChunkFinding(r.findings, Code::IxmlTooLarge, c.id, c.offset,
                        "The iXML chunk holds " + std::to_string(c.size) +
                            " bytes, above the 16 MiB that are parsed.");
    } else if (c.complete) {
        // A document cut by the end of the file is not judged: its fields
        // are not all there, and chunk-truncated says why.
        // Kept until the record is written: its tracks are read from it then.
        x.document.emplace([&f, &c] { return f.ReadBody(c, MaxMetadataBytes); });
        if (!x.document->Fields().wellFormed)
            AddChunkFinding(r.findings, Code::IxmlMalformed, c.id, c.offset,
                            "The iXML chunk is not well-formed XML.");
    }
    r.ixml = std::move(x);
}

void DescribeMd5(Record& r, FileWalk& f, const WalkedChunk& c)
{
    if (c.size != 16) {
        AddChunkFinding(r.findings, Code::Md5ChunkInvalid, c.id, c.offset,
                        "The MD5 chunk holds " + std::to_string(c.size) + " bytes, not 16.");
        return;
    }
    const std::vector<unsigned char> body = f.ReadBody(c, 16);
    if (body.size() != 16)
        return; // cut short: chunk-truncated says so
    std::array<uint8_t, 16> digest{};
    std::copy(body.begin(), body.end(), digest.begin());
    r.md5Stored = digest;
}

} // namespace

void DescribeMetadata(Record& r, FileWalk& f, const Singles& s)
{
    if (s.bext)
        DescribeBext(r, f, *s.bext);
    CueTexts texts;
    const std::vector<CuePoint> points = ReadCuePoints(f, s.cue, texts);
    DescribeLists(r, f, texts);
    DescribeCues(r, points, texts);
    if (s.ixml)
        DescribeIxml(r, f, *s.ixml);
    if (s.md5)
        DescribeMd5(r, f, *s.md5);
}

} // namespace sondrel
