// The inspector: walks each file with the one chunk walker, decodes its
// metadata chunks, names each defect, and renders one JSON record per file.
#include "inspect/record.h"

#include "decode.h"
#include "inspect/ixml.h"
#include "inspect/json_writer.h"
#include "io.h"
#include "measure/audio_read.h"
#include "riff.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace
{

// Metadata chunks are read whole up to this size; an iXML body above it is
// not parsed at all, so memory stays bounded whatever the file claims.
constexpr uint64_t MaxMetadataBytes = uint64_t{16} << 20;

// 43,690 cue points: each becomes an object of the record, held in memory
// until the line is written.
constexpr uint64_t MaxCueBytes = uint64_t{1} << 20;

struct Finding {
    const char* severity;
    const char* code;
    std::optional<FourCC> chunk;
    std::optional<uint64_t> offset;
    std::string message;
};

struct FormatInfo {
    WaveFormatRecord record{};
    std::optional<FormatExtension> extension;
    uint16_t sampleTag = 0; // the tag the samples are in: the sub-format's for extensible
};

struct AudioInfo {
    uint64_t offset = 0;
    std::optional<uint64_t> bytes;
    uint64_t bytesInFile = 0;
    std::optional<uint64_t> frames;
    std::optional<double> seconds;
};

struct CueInfo {
    CuePoint point{};
    std::optional<std::string> label, note, text;
};

struct IxmlInfo {
    uint64_t bytes = 0;
    std::optional<IxmlDocument> document; // absent when not parsed
};

// Everything the record says about one file, in plain values; WriteRecord
// writes it as JSON in the contract's order.
struct Record {
    std::string path;
    std::optional<std::string> error;
    std::optional<FourCC> container;
    std::optional<uint64_t> fileBytes;
    std::vector<WalkedChunk> chunks;
    std::optional<FormatInfo> format;
    std::optional<AudioInfo> audio;
    std::optional<BextRecord> bext;
    std::vector<std::pair<FourCC, std::string>> info;
    std::vector<CueInfo> cues;
    std::optional<IxmlInfo> ixml;
    std::optional<std::array<uint8_t, 16>> md5Stored, md5Computed;
    std::optional<LoudnessFigures> loudness;
    std::vector<Finding> findings;
};

// ---- text and numbers for JSON ---------------------------------------------

bool IsUtf8(const std::string& bytes)
{
    // nlohmann-json refuses to write invalid UTF-8: its check is the one that counts.
    try {
        (void)nlohmann::json(bytes).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// Each byte as the Latin-1 character it codes, in UTF-8.
std::string Latin1(const char* bytes, size_t size)
{
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; i++) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// File text as JSON text: kept when it is UTF-8, else each byte read as Latin-1.
std::string Text(const std::string& bytes)
{
    return IsUtf8(bytes) ? bytes : Latin1(bytes.data(), bytes.size());
}

// A chunk id is four raw bytes, each read as Latin-1 whatever they spell.
std::string Text(const FourCC& id)
{
    return Latin1(id.data(), id.size());
}

std::string Hex(const unsigned char* p, size_t n)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += Digits[p[i] >> 4];
        s += Digits[p[i] & 0x0F];
    }
    return s;
}

} // namespace

// ---- findings --------------------------------------------------------------

namespace
{

struct FindingKind {
    const char* code;
    const char* severity;
};

constexpr FindingKind Kinds[] = {
    {"not-wave", "error"},
    {"chunk-truncated", "error"},
    {"pad-byte-missing", "warning"},
    {"riff-size-mismatch", "warning"},
    {"data-size-unset", "warning"},
    {"ds64-missing", "error"},
    {"fmt-missing", "error"},
    {"fmt-after-data", "warning"},
    {"data-missing", "warning"},
    {"duplicate-chunk", "warning"},
    {"block-align-mismatch", "warning"},
    {"byte-rate-mismatch", "warning"},
    {"partial-frame", "warning"},
    {"trailing-bytes", "info"},
    {"bext-date-format", "warning"},
    {"bext-time-format", "warning"},
    {"ixml-malformed", "warning"},
    {"ixml-too-large", "info"},
    {"md5-chunk-invalid", "warning"},
    {"md5-mismatch", "error"},
    {"loudness-unmeasurable", "info"},
    {"loudness-mismatch", "warning"},
    {"chunk-limit", "info"},
};

const char* SeverityOf(const char* code)
{
    for (const FindingKind& k : Kinds)
        if (std::strcmp(k.code, code) == 0)
            return k.severity;
    return "error"; // every code is in the table; a typo must not pass quietly
}

void AddFinding(Record& r, const char* code, std::optional<FourCC> chunk,
                std::optional<uint64_t> offset, std::string message)
{
    r.findings.push_back({SeverityOf(code), code, chunk, offset, std::move(message)});
}

// A finding about one chunk, with the offset of its header.
void AddChunkFinding(Record& r, const char* code, const WalkedChunk& c, std::string message)
{
    AddFinding(r, code, c.id, c.offset, std::move(message));
}

std::string Quoted(const FourCC& id)
{
    return "\"" + Text(id) + "\"";
}

void AddWalkFindings(Record& r, const WalkState& w)
{
    for (const WalkNote& n : w.notes) {
        const WalkedChunk* c = n.chunk >= 0 ? &r.chunks[static_cast<size_t>(n.chunk)] : nullptr;
        switch (n.issue) {
        case WalkIssue::Truncated:
            AddChunkFinding(r, "chunk-truncated", *c,
                            "The " + Quoted(c->id) + " chunk runs past the end of the file.");
            break;
        case WalkIssue::PadByteMissing:
            AddChunkFinding(r, "pad-byte-missing", *c,
                            "The file ends after the odd-sized " + Quoted(c->id) +
                                " chunk without its pad byte.");
            break;
        case WalkIssue::DataSizeUnset:
            AddChunkFinding(r, "data-size-unset", *c,
                            "The data size was never written (an unfinalised recording); the "
                            "audio is taken to the end of the file.");
            break;
        case WalkIssue::Ds64Missing:
            AddChunkFinding(
                r, "ds64-missing", *c,
                "The " + Quoted(c->id) +
                    " chunk's size is 0xFFFFFFFF and no ds64 chunk before it sizes it.");
            break;
        case WalkIssue::TrailingBytes:
            AddFinding(r, "trailing-bytes", std::nullopt, n.offset,
                       "Bytes after the last chunk do not make a chunk.");
            break;
        case WalkIssue::ChunkLimit:
            AddFinding(r, "chunk-limit", std::nullopt, n.offset,
                       "The walk stopped after " + std::to_string(MaxWalkedChunks) + " chunks.");
            break;
        }
    }
}

// Expected size of the RIFF size field, when the file says one.
void CheckRiffSize(Record& r, const WalkState& w)
{
    std::optional<uint64_t> declared;
    if (!w.rf64)
        declared = w.riffSize;
    else if (w.haveDs64 && w.ds64.fieldBytes >= 8)
        declared = w.ds64.riffSize;
    if (declared && *declared != w.fileBytes - 8)
        AddFinding(r, "riff-size-mismatch", std::nullopt, std::nullopt,
                   "The RIFF size is " + std::to_string(*declared) +
                       ", the file length minus 8 is " + std::to_string(w.fileBytes - 8) + ".");
}

} // namespace

// ---- chunk contents --------------------------------------------------------

namespace
{

// The chunks the record describes once: the first of each, later ones are
// duplicates.
struct Singles {
    const WalkedChunk* fmt = nullptr;
    const WalkedChunk* bext = nullptr;
    const WalkedChunk* data = nullptr;
    const WalkedChunk* ds64 = nullptr;
    const WalkedChunk* ixml = nullptr;
    const WalkedChunk* md5 = nullptr;
    const WalkedChunk* cue = nullptr;
    const WalkedChunk* fact = nullptr;
};

Singles FindSingles(Record& r, const std::vector<WalkedChunk>& chunks)
{
    Singles s;
    const std::pair<const char*, const WalkedChunk**> slots[] = {
        {"fmt ", &s.fmt},  {"bext", &s.bext}, {"data", &s.data}, {"ds64", &s.ds64},
        {"iXML", &s.ixml}, {"MD5 ", &s.md5},  {"cue ", &s.cue},  {"fact", &s.fact}};
    for (const WalkedChunk& c : chunks) {
        for (const auto& [name, slot] : slots) {
            if (std::memcmp(c.id.data(), name, 4) != 0)
                continue;
            if (!*slot)
                *slot = &c;
            else if (slot != &s.cue && slot != &s.fact)
                AddChunkFinding(r, "duplicate-chunk", c,
                                "A second " + Quoted(c.id) + " chunk; the first one is described.");
        }
    }
    return s;
}

// The body bytes the file holds, up to `limit`.
std::vector<unsigned char> ReadBody(WalkState& w, const WalkedChunk& c, uint64_t limit)
{
    std::vector<unsigned char> body(std::min({c.size, BytesLeft(w, c.offset + 8), limit}));
    body.resize(InspectRead(w, c.offset + 8, body.data(), body.size()));
    return body;
}

bool IsLinearTag(uint16_t tag)
{
    return tag == TagPCM || tag == TagIEEEFloat || tag == TagALaw || tag == TagMuLaw;
}

FormatInfo DecodeFormatChunk(const std::vector<unsigned char>& body)
{
    FormatInfo f;
    FormatBytes bytes{};
    std::copy_n(body.begin(), std::min(body.size(), bytes.size()), bytes.begin());
    f.record = DecodeFormat(bytes);
    f.sampleTag = f.record.formatTag;
    if (f.record.formatTag == TagExtensible && f.record.extraBytes >= FormatExtensionBytes &&
        body.size() >= WaveFormatRecordBytes + FormatExtensionBytes) {
        ExtensionArea ext{};
        std::copy_n(body.begin() + WaveFormatRecordBytes, ext.size(), ext.begin());
        f.extension = DecodeExtension(ext);
        f.sampleTag = static_cast<uint16_t>(SubFormatGroup(*f.extension) & 0xFFFF);
    }
    return f;
}

void CheckFormat(Record& r, const WalkedChunk& c, const FormatInfo& f)
{
    if (!IsLinearTag(f.sampleTag))
        return;
    const WaveFormatRecord& v = f.record;
    const uint64_t align = ExpectedBlockAlign(v.nChannels, v.bitsPerSample);
    if (v.blockAlign != align)
        AddChunkFinding(r, "block-align-mismatch", c,
                        "The block align is " + std::to_string(v.blockAlign) + ", " +
                            std::to_string(v.nChannels) + " channels of " +
                            std::to_string(v.bitsPerSample) + " bits need " +
                            std::to_string(align) + ".");
    const uint64_t rate = uint64_t{v.samplesPerSec} * v.blockAlign;
    if (v.avgBytesPerSec != rate)
        AddChunkFinding(r, "byte-rate-mismatch", c,
                        "The byte rate is " + std::to_string(v.avgBytesPerSec) +
                            ", the sample rate times the block align is " + std::to_string(rate) +
                            ".");
}

// The sample count of a "fact" chunk; in RF64/BW64 0xFFFFFFFF defers to ds64.
std::optional<uint64_t> FactFrames(WalkState& w, const WalkedChunk* fact)
{
    if (!fact)
        return std::nullopt;
    const std::vector<unsigned char> body = ReadBody(w, *fact, 4);
    if (body.size() < 4)
        return std::nullopt;
    const uint32_t count = LoadLE32(body.data());
    if (w.rf64 && count == 0xFFFFFFFFu && w.haveDs64 && w.ds64.fieldBytes >= 24)
        return w.ds64.sampleCount;
    return count;
}

AudioInfo DescribeAudio(Record& r, WalkState& w, const Singles& s)
{
    const WalkedChunk& c = *s.data;
    AudioInfo a;
    a.offset = c.offset + 8;
    if (!c.sizeUnset && !c.sizeUnknown)
        a.bytes = c.size;
    a.bytesInFile = std::min(c.size, BytesLeft(w, a.offset));
    const FormatInfo* f = r.format ? &*r.format : nullptr;
    if (f && IsLinearTag(f->sampleTag)) {
        if (f->record.blockAlign > 0) {
            a.frames = a.bytesInFile / f->record.blockAlign;
            if (a.bytesInFile % f->record.blockAlign != 0)
                AddChunkFinding(r, "partial-frame", c,
                                "The audio ends inside a frame: " + std::to_string(a.bytesInFile) +
                                    " bytes are not a whole number of " +
                                    std::to_string(f->record.blockAlign) + "-byte frames.");
        }
    } else {
        a.frames = FactFrames(w, s.fact);
    }
    if (a.frames && f && f->record.samplesPerSec > 0)
        a.seconds = static_cast<double>(*a.frames) / f->record.samplesPerSec;
    return a;
}

} // namespace

// ---- bext, LIST, cue, iXML, MD5 --------------------------------------------

namespace
{

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

void DescribeBext(Record& r, WalkState& w, const WalkedChunk& c)
{
    const std::vector<unsigned char> body = ReadBody(w, c, MaxMetadataBytes);
    r.bext = DecodeBext(body.data(), body.size());
    if (!r.bext->date.empty() && !MatchesDateTime(r.bext->date, "dddd-dd-dd"))
        AddChunkFinding(r, "bext-date-format", c,
                        "The origination date \"" + Text(r.bext->date) + "\" is not yyyy-mm-dd.");
    if (!r.bext->time.empty() && !MatchesDateTime(r.bext->time, "dd-dd-dd"))
        AddChunkFinding(r, "bext-time-format", c,
                        "The origination time \"" + Text(r.bext->time) + "\" is not hh:mm:ss.");
}

// Cue texts by cue id, from every LIST/adtl chunk; the first text wins.
// Only the ids of cue points are kept, so memory follows the cue chunk.
struct CueTexts {
    std::unordered_set<uint32_t> wanted;
    std::unordered_map<uint32_t, std::string> label, note, text;
};

void TakeAdtl(const SubChunk& sub, CueTexts& texts)
{
    if (sub.size < 4)
        return;
    const uint32_t id = LoadLE32(sub.body);
    if (!texts.wanted.count(id))
        return;
    if (IdIs(sub.id, "labl"))
        texts.label.emplace(id, FieldText(sub.body + 4, sub.size - 4));
    else if (IdIs(sub.id, "note"))
        texts.note.emplace(id, FieldText(sub.body + 4, sub.size - 4));
    else if (IdIs(sub.id, "ltxt") && sub.size >= LabelledTextHeader)
        texts.text.emplace(id,
                           FieldText(sub.body + LabelledTextHeader, sub.size - LabelledTextHeader));
}

void DescribeLists(Record& r, WalkState& w, CueTexts& texts)
{
    std::unordered_set<std::string> seen; // INFO ids: the first occurrence wins
    for (const WalkedChunk& c : r.chunks) {
        if (!IdIs(c.id, "LIST"))
            continue;
        const std::vector<unsigned char> body = ReadBody(w, c, MaxMetadataBytes);
        if (body.size() < 4)
            continue;
        const bool info = std::memcmp(body.data(), "INFO", 4) == 0;
        const bool adtl = std::memcmp(body.data(), "adtl", 4) == 0;
        for (const SubChunk& sub : SplitSubChunks(body.data(), body.size())) {
            if (info) {
                if (seen.insert(std::string(sub.id.data(), 4)).second)
                    r.info.emplace_back(sub.id, FieldText(sub.body, sub.size));
            } else if (adtl) {
                TakeAdtl(sub, texts);
            }
        }
    }
}

std::optional<std::string> Lookup(const std::unordered_map<uint32_t, std::string>& m, uint32_t id)
{
    const auto it = m.find(id);
    return it == m.end() ? std::nullopt : std::optional<std::string>(it->second);
}

std::vector<CuePoint> ReadCuePoints(WalkState& w, const WalkedChunk* cue, CueTexts& texts)
{
    if (!cue)
        return {};
    const std::vector<unsigned char> body = ReadBody(w, *cue, MaxCueBytes);
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

void DescribeIxml(Record& r, WalkState& w, const WalkedChunk& c)
{
    IxmlInfo x;
    x.bytes = c.size;
    if (c.size > MaxMetadataBytes) {
        AddChunkFinding(r, "ixml-too-large", c,
                        "The iXML chunk holds " + std::to_string(c.size) +
                            " bytes, above the 16 MiB that are parsed.");
    } else {
        // Kept until the record is written: its tracks are read from it then.
        x.document.emplace([&w, &c] { return ReadBody(w, c, MaxMetadataBytes); });
        if (!x.document->Fields().wellFormed)
            AddChunkFinding(r, "ixml-malformed", c, "The iXML chunk is not well-formed XML.");
    }
    r.ixml = std::move(x);
}

void DescribeMd5(Record& r, WalkState& w, const WalkedChunk& c)
{
    if (c.size != 16) {
        AddChunkFinding(r, "md5-chunk-invalid", c,
                        "The MD5 chunk holds " + std::to_string(c.size) + " bytes, not 16.");
        return;
    }
    const std::vector<unsigned char> body = ReadBody(w, c, 16);
    if (body.size() != 16)
        return; // cut short: chunk-truncated says so
    std::array<uint8_t, 16> digest{};
    std::copy(body.begin(), body.end(), digest.begin());
    r.md5Stored = digest;
}

} // namespace

// ---- the audio measured ----------------------------------------------------

namespace
{

AudioLayout LayoutOf(const FormatInfo& f)
{
    AudioLayout l;
    l.sampleTag = f.sampleTag;
    l.channels = f.record.nChannels;
    l.sampleRate = f.record.samplesPerSec;
    l.blockAlign = f.record.blockAlign;
    l.bitsPerSample = f.record.bitsPerSample;
    if (f.extension)
        l.channelMask = f.extension->channelMask;
    return l;
}

// Version 2 stores hundredths; 0x7FFF means "not measured".
LoudnessFigures StoredFigures(const BextRecord& b)
{
    auto value = [&](size_t i) -> std::optional<double> {
        if (b.loudness[i] == 0x7FFF)
            return std::nullopt;
        return b.loudness[i] / 100.0;
    };
    return {value(0), value(1), value(2), value(3), value(4)};
}

// Stored bext loudness to compare; none below version 2, or when all five
// are zero, as writers leave them when nothing was measured.
std::optional<LoudnessFigures> StoredLoudness(const BextRecord& b)
{
    if (!b.HasLoudness() ||
        std::all_of(b.loudness.begin(), b.loudness.end(), [](int16_t v) { return v == 0; }))
        return std::nullopt;
    return StoredFigures(b);
}

bool Differs(const std::optional<double>& stored, const std::optional<double>& measured)
{
    return stored && measured && std::isfinite(*measured) && std::fabs(*stored - *measured) > 0.5;
}

void CompareLoudness(Record& r)
{
    if (!r.bext || !r.loudness)
        return;
    const std::optional<LoudnessFigures> stored = StoredLoudness(*r.bext);
    if (!stored)
        return;
    char text[160];
    if (Differs(stored->integratedLufs, r.loudness->integratedLufs)) {
        snprintf(text, sizeof text,
                 "The stored integrated loudness %.2f LUFS differs from the "
                 "measured %.2f LUFS.",
                 *stored->integratedLufs, *r.loudness->integratedLufs);
        AddFinding(r, "loudness-mismatch", std::nullopt, std::nullopt, text);
    }
    if (Differs(stored->maxTruePeakDbtp, r.loudness->maxTruePeakDbtp)) {
        snprintf(text, sizeof text,
                 "The stored true peak %.2f dBTP differs from the measured "
                 "%.2f dBTP.",
                 *stored->maxTruePeakDbtp, *r.loudness->maxTruePeakDbtp);
        AddFinding(r, "loudness-mismatch", std::nullopt, std::nullopt, text);
    }
}

void ShowByteProgress(const std::string& path, uint64_t done, uint64_t total)
{
    fprintf(stderr, "\r\033[Ksondrel: %s: %llu of %llu bytes", path.c_str(),
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
}

// Reads the audio once for the MD5 and the loudness asked for.
void MeasureAudio(Record& r, WalkState& w, const InspectOptions& o)
{
    if (!r.audio || !(o.md5 || o.loudness))
        return;
    MeasureRequest q;
    q.md5 = o.md5;
    const AudioLayout layout = r.format ? LayoutOf(*r.format) : AudioLayout{};
    q.loudness = o.loudness && r.format && LoudnessMeasurable(layout);
    const uint64_t total = r.audio->bytesInFile;
    if (o.progress)
        q.progress = [&](uint64_t done) { ShowByteProgress(r.path, done, total); };
    const MeasureResult v = ReadAndMeasure(w.fd, r.audio->offset, total, layout, q);
    if (v.readError != 0)
        w.readError = v.readError;
    r.md5Computed = v.md5;
    if (o.loudness && !(q.loudness && v.loudnessMeasurable && v.loudness))
        AddFinding(r, "loudness-unmeasurable", std::nullopt, std::nullopt,
                   "The audio's format, rate or channel count cannot be measured for loudness.");
    else if (o.loudness)
        r.loudness = v.loudness;
    if (r.md5Stored && r.md5Computed && *r.md5Stored != *r.md5Computed)
        AddFinding(r, "md5-mismatch", std::nullopt, std::nullopt,
                   "The audio's MD5 " + Hex(r.md5Computed->data(), 16) +
                       " differs from the stored " + Hex(r.md5Stored->data(), 16) + ".");
    CompareLoudness(r);
}

} // namespace

// ---- one file --------------------------------------------------------------

namespace
{

// The record of a file that could not be inspected: nothing but the reason.
void FailRecord(Record& r, std::string reason)
{
    const std::string path = r.path;
    const std::optional<FourCC> container = r.container;
    const std::optional<uint64_t> fileBytes = r.fileBytes;
    const bool notWave = reason == "Not a WAVE file";
    r = Record{};
    r.path = path;
    r.container = container;
    r.fileBytes = fileBytes;
    r.error = std::move(reason);
    if (notWave)
        AddFinding(r, "not-wave", std::nullopt, std::nullopt,
                   "The file is not a RIFF, RF64 or BW64 WAVE file.");
}

std::string ReadFailure(int error)
{
    return std::string("Can't read file: ") + strerror(error);
}

// Opens without blocking on a FIFO; only files that can be read at offsets
// are inspected.  Returns -1 with the reason set.
int OpenForInspection(Record& r, uint64_t& length, std::string& reason)
{
    const int fd = open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::string("Can't open file for reading: ") + strerror(errno);
        return -1;
    }
    struct stat st {
    };
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) ||
        S_ISSOCK(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        reason = ReadFailure(error);
        close(fd);
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        length = static_cast<uint64_t>(st.st_size);
    } else {
        const off_t end = lseek(fd, 0, SEEK_END); // a block device says its size this way
        length = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    return fd;
}

void DescribeContents(Record& r, WalkState& w, const InspectOptions& o)
{
    AddWalkFindings(r, w);
    CheckRiffSize(r, w);
    const Singles s = FindSingles(r, r.chunks);
    if (s.fmt) {
        r.format = DecodeFormatChunk(ReadBody(w, *s.fmt, 64));
        CheckFormat(r, *s.fmt, *r.format);
    }
    if (s.data)
        r.audio = DescribeAudio(r, w, s);
    if (s.fmt && s.data && s.fmt->offset > s.data->offset)
        AddChunkFinding(r, "fmt-after-data", *s.fmt, "The fmt chunk comes after the data chunk.");
    // A walk cut short by the chunk limit cannot say what is missing.
    const bool walkedAll = std::none_of(w.notes.begin(), w.notes.end(), [](const WalkNote& n) {
        return n.issue == WalkIssue::ChunkLimit;
    });
    if (s.data && !s.fmt && walkedAll)
        AddFinding(r, "fmt-missing", std::nullopt, std::nullopt,
                   "There is a data chunk but no fmt chunk.");
    if (!s.data && walkedAll)
        AddFinding(r, "data-missing", std::nullopt, std::nullopt, "There is no data chunk.");
    if (s.bext)
        DescribeBext(r, w, *s.bext);
    CueTexts texts;
    const std::vector<CuePoint> points = ReadCuePoints(w, s.cue, texts);
    DescribeLists(r, w, texts);
    DescribeCues(r, points, texts);
    if (s.ixml)
        DescribeIxml(r, w, *s.ixml);
    if (s.md5)
        DescribeMd5(r, w, *s.md5);
    MeasureAudio(r, w, o);
}

Record Inspect(const char* path, const InspectOptions& o)
{
    Record r;
    r.path = path;
    uint64_t length = 0;
    std::string reason;
    WalkState w;
    w.fd = OpenForInspection(r, length, reason);
    if (w.fd < 0) {
        FailRecord(r, reason);
        return r;
    }
    r.fileBytes = length;
    w.fileBytes = length;
    const bool walked = InspectWalk(w);
    if (w.magic != FourCC{})
        r.container = w.magic;
    if (walked) {
        r.chunks = std::move(w.chunks);
        DescribeContents(r, w, o);
    }
    close(w.fd);
    if (w.readError != 0)
        FailRecord(r, ReadFailure(w.readError));
    else if (!walked)
        FailRecord(r, "Not a WAVE file");
    // File order; whole-file findings last.
    std::stable_sort(r.findings.begin(), r.findings.end(), [](const Finding& a, const Finding& b) {
        return a.offset.has_value() && (!b.offset || *a.offset < *b.offset);
    });
    return r;
}

} // namespace

// ---- the JSON record -------------------------------------------------------

namespace
{

// File text: kept when it is UTF-8, else each byte read as Latin-1.
void WriteText(JsonWriter& j, std::string_view bytes)
{
    if (!j.String(bytes))
        (void)j.String(Latin1(bytes.data(), bytes.size())); // Latin-1 as UTF-8 is always valid
}

// A chunk id as text, or null.
std::optional<std::string> IdText(const std::optional<FourCC>& id)
{
    if (!id)
        return std::nullopt;
    return Text(*id);
}

void TextMember(JsonWriter& j, std::string_view name, std::string_view bytes)
{
    j.Key(name);
    WriteText(j, bytes);
}

// File text or null.
void OptionalTextMember(JsonWriter& j, std::string_view name,
                        const std::optional<std::string>& bytes)
{
    j.Key(name);
    if (bytes)
        WriteText(j, *bytes);
    else
        j.Null();
}

void WriteFormat(JsonWriter& j, const FormatInfo& f)
{
    const WaveFormatRecord& v = f.record;
    j.BeginObject();
    j.Member("tag", v.formatTag);
    TextMember(j, "name", FormatTagName(v.formatTag));
    j.Member("channels", v.nChannels);
    j.Member("sample_rate", v.samplesPerSec);
    j.Member("byte_rate", v.avgBytesPerSec);
    j.Member("block_align", v.blockAlign);
    j.Member("bits_per_sample", v.bitsPerSample);
    const std::optional<FormatExtension>& e = f.extension;
    j.Member("valid_bits", e ? std::optional<uint64_t>(e->validBits) : std::nullopt);
    j.Member("channel_mask", e ? std::optional<uint64_t>(e->channelMask) : std::nullopt);
    j.Key("speakers");
    if (e) {
        j.BeginArray();
        for (const char* name : SpeakerNames(e->channelMask))
            WriteText(j, name);
        j.EndArray();
    } else {
        j.Null();
    }
    OptionalTextMember(j, "sub_format",
                       e ? std::optional<std::string>(GuidText(e->subFormat)) : std::nullopt);
    j.EndObject();
}

void WriteAudio(JsonWriter& j, const AudioInfo& a)
{
    j.BeginObject();
    j.Member("offset", a.offset);
    j.Member("bytes", a.bytes);
    j.Member("bytes_in_file", a.bytesInFile);
    j.Member("frames", a.frames);
    j.Member("seconds", a.seconds);
    j.EndObject();
}

void WriteLoudness(JsonWriter& j, const LoudnessFigures& l)
{
    j.BeginObject();
    j.Member("integrated_lufs", l.integratedLufs);
    j.Member("range_lu", l.rangeLu);
    j.Member("max_true_peak_dbtp", l.maxTruePeakDbtp);
    j.Member("max_momentary_lufs", l.maxMomentaryLufs);
    j.Member("max_short_term_lufs", l.maxShortTermLufs);
    j.EndObject();
}

std::optional<std::string> Umid(const std::array<unsigned char, 64>& u)
{
    auto zero = [&](size_t from, size_t to) {
        return std::all_of(u.begin() + static_cast<long>(from), u.begin() + static_cast<long>(to),
                           [](unsigned char c) { return c == 0; });
    };
    if (zero(0, 64))
        return std::nullopt;
    return Hex(u.data(), zero(32, 64) ? 32 : 64); // a basic UMID fills only the first 32
}

void WriteCodingHistory(JsonWriter& j, const std::string& history)
{
    j.BeginArray();
    size_t at = 0;
    while (at < history.size()) {
        size_t end = history.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = history.size();
        if (end > at)
            WriteText(j, std::string_view(history).substr(at, end - at));
        at = end + 1;
    }
    j.EndArray();
}

void WriteBext(JsonWriter& j, const BextRecord& b)
{
    j.BeginObject();
    j.Member("version", b.version);
    TextMember(j, "description", b.description);
    TextMember(j, "originator", b.originator);
    TextMember(j, "originator_reference", b.originatorReference);
    TextMember(j, "origination_date", b.date);
    TextMember(j, "origination_time", b.time);
    j.Member("time_reference", b.timeReference);
    OptionalTextMember(j, "umid", Umid(b.umid));
    j.Key("loudness");
    if (b.HasLoudness())
        WriteLoudness(j, StoredFigures(b));
    else
        j.Null();
    j.Key("coding_history");
    WriteCodingHistory(j, b.codingHistory);
    j.EndObject();
}

void WriteChunks(JsonWriter& j, const std::vector<WalkedChunk>& chunks)
{
    j.BeginArray();
    for (const WalkedChunk& c : chunks) {
        j.BeginObject();
        TextMember(j, "id", Text(c.id));
        j.Member("offset", c.offset);
        j.Member("size", c.size);
        j.Member("complete", c.complete);
        j.EndObject();
    }
    j.EndArray();
}

void WriteInfo(JsonWriter& j, const std::vector<std::pair<FourCC, std::string>>& info)
{
    j.BeginObject();
    for (const auto& [id, text] : info) {
        (void)j.TextKey(Text(id)); // Latin-1 as UTF-8 is always valid
        WriteText(j, text);
    }
    j.EndObject();
}

void WriteCues(JsonWriter& j, const std::vector<CueInfo>& cues,
               const std::optional<FormatInfo>& format)
{
    const uint32_t rate = format ? format->record.samplesPerSec : 0;
    j.BeginArray();
    for (const CueInfo& c : cues) {
        j.BeginObject();
        j.Member("id", c.point.id);
        j.Member("position", c.point.position);
        j.Member("seconds",
                 rate > 0 ? std::optional<double>(static_cast<double>(c.point.position) / rate)
                          : std::nullopt);
        OptionalTextMember(j, "label", c.label);
        OptionalTextMember(j, "note", c.note);
        OptionalTextMember(j, "text", c.text);
        j.EndObject();
    }
    j.EndArray();
}

void WriteTrack(JsonWriter& j, const IxmlTrack& t)
{
    j.BeginObject();
    j.Member("index", t.interleaveIndex);
    j.Member("channel_index", t.channelIndex);
    OptionalTextMember(j, "name", t.name);
    j.EndObject();
}

void WriteIxml(JsonWriter& j, const IxmlInfo& x)
{
    static const IxmlFields Unparsed;
    const IxmlFields& f = x.document ? x.document->Fields() : Unparsed;
    j.BeginObject();
    j.Member("bytes", x.bytes);
    j.Member("well_formed", x.document ? std::optional<bool>(f.wellFormed) : std::nullopt);
    OptionalTextMember(j, "project", f.project);
    OptionalTextMember(j, "scene", f.scene);
    OptionalTextMember(j, "take", f.take);
    OptionalTextMember(j, "tape", f.tape);
    OptionalTextMember(j, "note", f.note);
    j.Member("circled", f.circled);
    j.Key("tracks");
    j.BeginArray();
    if (x.document)
        x.document->ForEachTrack([&j](const IxmlTrack& t) { WriteTrack(j, t); });
    j.EndArray();
    j.EndObject();
}

void WriteFindings(JsonWriter& j, const std::vector<Finding>& findings)
{
    j.BeginArray();
    for (const Finding& f : findings) {
        j.BeginObject();
        TextMember(j, "severity", f.severity);
        TextMember(j, "code", f.code);
        OptionalTextMember(j, "chunk", IdText(f.chunk));
        j.Member("offset", f.offset);
        TextMember(j, "message", f.message);
        j.EndObject();
    }
    j.EndArray();
}

std::optional<std::string> DigestText(const std::optional<std::array<uint8_t, 16>>& digest)
{
    if (!digest)
        return std::nullopt;
    return Hex(digest->data(), digest->size());
}

// The record, every key in the order scripts rely on.
void WriteRecord(JsonWriter& j, const Record& r)
{
    j.BeginObject();
    TextMember(j, "path", r.path);
    TextMember(j, "status", r.error ? "error" : "ok");
    OptionalTextMember(j, "error", r.error);
    OptionalTextMember(j, "container", IdText(r.container));
    j.Member("file_bytes", r.fileBytes);
    j.Key("chunks");
    WriteChunks(j, r.chunks);
    j.Key("format");
    r.format ? WriteFormat(j, *r.format) : j.Null();
    j.Key("audio");
    r.audio ? WriteAudio(j, *r.audio) : j.Null();
    j.Key("bext");
    r.bext ? WriteBext(j, *r.bext) : j.Null();
    j.Key("info");
    WriteInfo(j, r.info);
    j.Key("cues");
    WriteCues(j, r.cues, r.format);
    j.Key("ixml");
    r.ixml ? WriteIxml(j, *r.ixml) : j.Null();
    j.Key("md5");
    j.BeginObject();
    OptionalTextMember(j, "stored", DigestText(r.md5Stored));
    OptionalTextMember(j, "computed", DigestText(r.md5Computed));
    j.EndObject();
    j.Key("loudness_measured");
    r.loudness ? WriteLoudness(j, *r.loudness) : j.Null();
    j.Key("findings");
    WriteFindings(j, r.findings);
    j.EndObject();
}

bool HasError(const Record& r)
{
    return r.error || std::any_of(r.findings.begin(), r.findings.end(), [](const Finding& f) {
               return std::strcmp(f.severity, "error") == 0;
           });
}

} // namespace

std::string InspectRecordLine(const char* path, const InspectOptions& options, bool* failed)
{
    const Record r = Inspect(path, options);
    *failed = HasError(r);
    std::string line;
    JsonWriter writer(line);
    WriteRecord(writer, r);
    return line;
}

int InspectFiles(const std::vector<const char*>& paths, const InspectOptions& options)
{
    int status = 0;
    size_t done = 0;
    std::string text;
    // Written out as it grows: a record with a long track list is not held whole.
    JsonWriter writer(text, stdout);
    for (const char* path : paths) {
        const Record r = Inspect(path, options);
        WriteRecord(writer, r);
        text += '\n';
        if (!writer.Flush())
            ReportWriteFailure();
        status |= HasError(r) ? 1 : 0;
        if (options.progress)
            fprintf(stderr, "\r\033[Ksondrel: %zu of %zu files", ++done, paths.size());
    }
    if (options.progress)
        fputs("\r\033[K", stderr);
    return status;
}
