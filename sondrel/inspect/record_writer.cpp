// The record as one line of JSON, every key in the order scripts rely on.
#include "inspect/record_writer.h"

#include "file_text.h"
#include "inspect/measured.h"

#include <algorithm>

namespace sondrel {

namespace
{

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
    j.FileText(bytes);
}

// File text or null.
void OptionalTextMember(JsonWriter& j, std::string_view name,
                        const std::optional<std::string>& bytes)
{
    j.Key(name);
    if (bytes)
        j.FileText(*bytes);
    else
        j.Null();
}

// A field whose bytes are not all in the file is null, never pieced together.
std::optional<uint64_t> Field(bool present, uint64_t value)
{
    return present ? std::optional(value) : std::nullopt;
}

void WriteFormat(JsonWriter& j, const FormatChunk& f)
{
    const WaveFormatRecord& v = f.record;
    const bool hasTag = f.Has(FmtTag, 2);
    j.BeginObject();
    j.Member("tag", Field(hasTag, v.formatTag));
    OptionalTextMember(
        j, "name", hasTag ? std::optional<std::string>(FormatTagName(v.formatTag)) : std::nullopt);
    j.Member("channels", Field(f.Has(FmtChannels, 2), v.nChannels));
    j.Member("sample_rate", Field(f.Has(FmtRate, 4), v.samplesPerSec));
    j.Member("byte_rate", Field(f.Has(FmtByteRate, 4), v.avgBytesPerSec));
    j.Member("block_align", Field(f.Has(FmtBlockAlign, 2), v.blockAlign));
    j.Member("bits_per_sample", Field(f.Has(FmtBits, 2), v.bitsPerSample));
    const std::optional<FormatExtension>& e = f.extension;
    j.Member("valid_bits", f.validBits ? std::optional<uint64_t>(*f.validBits) : std::nullopt);
    j.Member("channel_mask",
             f.channelMask ? std::optional<uint64_t>(*f.channelMask) : std::nullopt);
    j.Key("speakers");
    if (f.channelMask) {
        j.BeginArray();
        for (const char* name : SpeakerNames(*f.channelMask))
            j.FileText(name);
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
    ForEachLine(history, [&j](std::string_view line) { j.FileText(line); });
    j.EndArray();
}

void BextTextMember(JsonWriter& j, std::string_view name, const BextRecord& b, size_t offset,
                    size_t width, const std::string& text)
{
    OptionalTextMember(j, name, b.Has(offset, width) ? std::optional(text) : std::nullopt);
}

// A body cut short by the end of the file has the fields it holds; the rest is null.
void WriteBext(JsonWriter& j, const BextRecord& b)
{
    j.BeginObject();
    j.Member("version", Field(b.Has(BextVersion, 2), b.version));
    BextTextMember(j, "description", b, BextDescription, 256, b.description);
    BextTextMember(j, "originator", b, BextOriginator, 32, b.originator);
    BextTextMember(j, "originator_reference", b, BextOriginatorRef, 32, b.originatorReference);
    BextTextMember(j, "origination_date", b, BextDate, 10, b.date);
    BextTextMember(j, "origination_time", b, BextTime, 8, b.time);
    j.Member("time_reference", Field(b.Has(BextTimeReference, 8), b.timeReference));
    OptionalTextMember(j, "umid", b.Has(BextUmid, 64) ? Umid(b.umid) : std::nullopt);
    j.Key("loudness");
    if (b.HasLoudness())
        WriteLoudness(j, StoredFigures(b));
    else
        j.Null();
    j.Key("coding_history");
    if (b.HasCodingHistory())
        WriteCodingHistory(j, b.codingHistory);
    else
        j.Null();
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

void WriteInfo(JsonWriter& j,
               const std::vector<std::pair<FourCC, std::optional<std::string>>>& info)
{
    j.BeginObject();
    for (const auto& [id, text] : info) {
        (void)j.TextKey(Text(id)); // Latin-1 as UTF-8 is always valid
        if (text)
            j.FileText(*text);
        else
            j.Null();
    }
    j.EndObject();
}

void WriteCues(JsonWriter& j, const std::vector<CueInfo>& cues,
               const std::optional<FormatChunk>& format)
{
    const uint32_t rate = format && format->Has(FmtRate, 4) ? format->record.samplesPerSec : 0;
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
        TextMember(j, "severity", SeverityText(f.Kind().severity));
        TextMember(j, "code", f.Kind().text);
        OptionalTextMember(j, "chunk", IdText(f.chunk));
        j.Member("offset", f.offset);
        TextMember(j, "message", f.message);
        j.EndObject();
    }
    j.EndArray();
}

void WriteSignal(JsonWriter& j, const SignalFigures& s)
{
    const auto values = [&j](std::string_view name, const auto& list) {
        j.Key(name);
        j.BeginArray();
        for (const auto& v : list)
            j.Value(v);
        j.EndArray();
    };
    j.BeginObject();
    values("peak_dbfs", s.peakDbfs);
    values("rms_dbfs", s.rmsDbfs);
    values("dc_offset_dbfs", s.dcOffsetDbfs);
    values("clipped_samples", s.clippedSamples);
    values("silent_channels", s.silentChannels);
    j.Key("identical_channels");
    j.BeginArray();
    for (const auto& [a, b] : s.identicalChannels) {
        j.BeginArray();
        j.Value(a);
        j.Value(b);
        j.EndArray();
    }
    j.EndArray();
    j.Member("correlation", s.correlation);
    j.Member("effective_bits", s.effectiveBits);
    j.Key("silences");
    j.BeginArray();
    for (const SilenceSpan& span : s.silences) {
        j.BeginObject();
        j.Member("start_seconds", span.startSeconds);
        j.Member("seconds", span.seconds);
        j.EndObject();
    }
    j.EndArray();
    j.EndObject();
}

std::optional<std::string> DigestText(const std::optional<std::array<uint8_t, 16>>& digest)
{
    if (!digest)
        return std::nullopt;
    return Hex(digest->data(), digest->size());
}

} // namespace

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
    j.Key("signal");
    r.signal ? WriteSignal(j, *r.signal) : j.Null();
    // A path read as Latin-1 may print like another file's: its bytes reach it.
    OptionalTextMember(j, "path_bytes",
                       IsUtf8(r.path) ? std::nullopt : std::optional(Base64(r.path)));
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

} // namespace sondrel
