// Bytes to records.
#include "decode.h"

#include "bytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sondrel {

WaveFormatRecord DecodeFormat(const FormatBytes& b)
{
    WaveFormatRecord f{};
    f.formatTag = LoadLE16(&b[0]);
    f.nChannels = LoadLE16(&b[2]);
    f.samplesPerSec = LoadLE32(&b[4]);
    f.avgBytesPerSec = LoadLE32(&b[8]);
    f.blockAlign = LoadLE16(&b[12]);
    f.bitsPerSample = LoadLE16(&b[14]);
    f.extraBytes = LoadLE16(&b[16]);
    return f;
}

FormatExtension DecodeExtension(const ExtensionArea& b)
{
    FormatExtension e{};
    e.validBits = LoadLE16(&b[0]);
    e.channelMask = LoadLE32(&b[2]);
    std::copy(b.begin() + 6, b.end(), e.subFormat.begin());
    return e;
}

uint32_t SubFormatGroup(const FormatExtension& e)
{
    return LoadLE32(e.subFormat.data());
}

std::string GuidText(const std::array<unsigned char, 16>& g)
{
    char text[40];
    snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
             static_cast<unsigned long>(LoadLE32(&g[0])), static_cast<unsigned>(LoadLE16(&g[4])),
             static_cast<unsigned>(LoadLE16(&g[6])), g[8], g[9], g[10], g[11], g[12], g[13], g[14],
             g[15]);
    return text;
}

namespace
{

struct TagName {
    uint16_t tag;
    const char* name;
    bool inTextReport; // one of the text report's own few names
};

constexpr TagName TagNames[] = {
    {TagPCM, "PCM", true},       {0x0002, "ADPCM", false},    {TagIEEEFloat, "IEEE float", false},
    {TagALaw, "A-law", false},   {TagMuLaw, "mu-law", false}, {0x0011, "IMA ADPCM", false},
    {0x0031, "GSM 6.10", false}, {0x0050, "MPEG", true},      {0x0055, "MPEG Layer 3", false},
    {0x00FF, "AAC", false},      {0x2000, "AC-3", false},     {TagExtensible, "Extensible", true},
};

const TagName* FindTag(uint16_t tag)
{
    for (const TagName& t : TagNames)
        if (t.tag == tag)
            return &t;
    return nullptr;
}

} // namespace

const char* FormatTagName(uint16_t tag)
{
    const TagName* t = FindTag(tag);
    return t ? t->name : "unknown";
}

const char* WavFormatAsStr(uint16_t tag)
{
    const TagName* t = FindTag(tag);
    return t && t->inTextReport ? t->name : "Unknown";
}

bool IsLinearTag(uint16_t tag)
{
    return tag == TagPCM || tag == TagIEEEFloat || tag == TagALaw || tag == TagMuLaw;
}

FormatChunk DecodeFormatChunk(const unsigned char* body, size_t size)
{
    FormatChunk f;
    FormatBytes bytes{};
    f.bytes = std::min<size_t>(size, WaveFormatRecordBytes + FormatExtensionBytes);
    if (size > 0)
        std::memcpy(bytes.data(), body, std::min(size, bytes.size()));
    f.record = DecodeFormat(bytes);
    f.sampleTag = f.record.formatTag;
    if (f.record.formatTag == TagExtensible && f.record.extraBytes >= FormatExtensionBytes &&
        size >= WaveFormatRecordBytes + FormatExtensionBytes) {
        ExtensionArea ext{};
        std::memcpy(ext.data(), body + WaveFormatRecordBytes, ext.size());
        f.extension = DecodeExtension(ext);
        f.sampleTag = static_cast<uint16_t>(SubFormatGroup(*f.extension) & 0xFFFF);
    }
    const size_t ext = WaveFormatRecordBytes;
    if (f.record.formatTag == TagExtensible && f.record.extraBytes >= FormatExtensionBytes) {
        if (size >= ext + 2)
            f.validBits = LoadLE16(body + ext);
        if (size >= ext + 6)
            f.channelMask = LoadLE32(body + ext + 2);
    }
    const bool adpcm = f.record.formatTag == TagImaAdpcm || f.record.formatTag == TagMsAdpcm;
    if (adpcm && f.record.extraBytes >= 2 && size >= ext + 2)
        f.samplesPerBlock = LoadLE16(body + ext);
    return f;
}

std::optional<uint64_t> AdpcmFrames(const FormatChunk& f, uint64_t bytes)
{
    const uint64_t align = f.record.blockAlign, channels = f.record.nChannels;
    if (!f.samplesPerBlock || *f.samplesPerBlock == 0 || !f.Has(FmtBlockAlign, 2) || align == 0 ||
        channels == 0)
        return std::nullopt;
    const uint64_t perBlock = *f.samplesPerBlock, rest = bytes % align;
    // A block starts with a header per channel holding its first samples
    // (IMA: 4 bytes, 1 sample; Microsoft: 7 bytes, 2), then nibbles:
    // IMA packs 8 samples in 4 bytes per channel, Microsoft 2 in a byte.
    uint64_t partial = 0;
    if (f.record.formatTag == TagImaAdpcm && rest >= 4 * channels)
        partial = 1 + (rest - 4 * channels) / (4 * channels) * 8;
    else if (f.record.formatTag == TagMsAdpcm && rest >= 7 * channels)
        partial = 2 + (rest - 7 * channels) * 2 / channels;
    return bytes / align * perBlock + std::min(partial, perBlock);
}

std::vector<const char*> SpeakerNames(uint32_t channelMask)
{
    static const char* const Names[] = {"FL", "FR", "FC", "LFE", "BL",  "BR",  "FLC", "FRC", "BC",
                                        "SL", "SR", "TC", "TFL", "TFC", "TFR", "TBL", "TBC", "TBR"};
    std::vector<const char*> names;
    for (unsigned bit = 0; bit < std::size(Names); bit++)
        if (channelMask & (1u << bit))
            names.push_back(Names[bit]);
    return names;
}

std::string FieldText(const unsigned char* p, size_t width)
{
    if (width == 0)
        return {}; // p may be the null data() of an empty buffer
    const auto* end = static_cast<const unsigned char*>(std::memchr(p, 0, width));
    return std::string(reinterpret_cast<const char*>(p),
                       end ? static_cast<size_t>(end - p) : width);
}

BextRecord DecodeBext(const unsigned char* body, size_t size)
{
    std::vector<unsigned char> fixed(BextCodingHistory, 0);
    if (size > 0)
        std::memcpy(fixed.data(), body, std::min(size, fixed.size()));
    const unsigned char* b = fixed.data();
    BextRecord r;
    r.storedBytes = size;
    r.description = FieldText(b + BextDescription, 256);
    r.originator = FieldText(b + BextOriginator, 32);
    r.originatorReference = FieldText(b + BextOriginatorRef, 32);
    r.date = FieldText(b + BextDate, 10);
    r.time = FieldText(b + BextTime, 8);
    r.timeReference = LoadLE64(b + BextTimeReference);
    r.version = LoadLE16(b + BextVersion);
    std::memcpy(r.umid.data(), b + BextUmid, r.umid.size());
    for (size_t i = 0; i < r.loudness.size(); i++)
        r.loudness[i] = static_cast<int16_t>(LoadLE16(b + BextLoudness + 2 * i));
    std::memcpy(r.afterUmid.data(), b + BextLoudness, r.afterUmid.size());
    if (size > BextCodingHistory)
        r.codingHistory = FieldText(body + BextCodingHistory, size - BextCodingHistory);
    return r;
}

Ds64Record DecodeDs64(const unsigned char* body, size_t size)
{
    Ds64Record r;
    r.fieldBytes = std::min<size_t>(size, 28);
    if (size >= 8)
        r.riffSize = LoadLE64(body);
    if (size >= 16)
        r.dataSize = LoadLE64(body + 8);
    if (size >= 24)
        r.sampleCount = LoadLE64(body + 16);
    if (size < 28)
        return r;
    const uint32_t entries = LoadLE32(body + 24);
    const size_t room = (size - 28) / 12;
    for (size_t i = 0; i < std::min<size_t>(entries, room); i++) {
        const unsigned char* e = body + 28 + 12 * i;
        Ds64Entry entry{};
        std::memcpy(entry.id.data(), e, 4);
        entry.size = LoadLE64(e + 4);
        r.table.push_back(entry);
    }
    return r;
}

std::vector<SubChunk> SplitSubChunks(const unsigned char* body, size_t size)
{
    std::vector<SubChunk> subs;
    size_t at = 4; // after the list type
    while (size >= 8 && at <= size - 8) {
        SubChunk s{};
        std::memcpy(s.id.data(), body + at, 4);
        const uint64_t declared = LoadLE32(body + at + 4);
        at += 8;
        s.body = body + at;
        s.size = static_cast<size_t>(std::min<uint64_t>(declared, size - at));
        s.whole = declared <= size - at;
        subs.push_back(s);
        if (declared > size - at)
            break;
        at += s.size + (s.size & 1);
    }
    return subs;
}

std::vector<CuePoint> DecodeCues(const unsigned char* body, size_t size)
{
    std::vector<CuePoint> cues;
    if (size < 4)
        return cues;
    const uint32_t count = LoadLE32(body);
    const size_t room = (size - 4) / 24;
    for (size_t i = 0; i < std::min<size_t>(count, room); i++) {
        const unsigned char* p = body + 4 + 24 * i;
        cues.push_back({LoadLE32(p), LoadLE32(p + 20)});
    }
    return cues;
}

} // namespace sondrel
