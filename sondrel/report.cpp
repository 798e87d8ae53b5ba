// Report lines and the "fmt ", "bext" and "iXML" handlers.
#include "report.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

char Section[128];

namespace
{

using FormatBytes = std::array<unsigned char, WaveFormatRecordBytes>;
static_assert(WaveFormatRecordBytes == 18, "the record is the first 18 bytes of the body");

// The extensible-format extension that follows the record.
constexpr size_t ExtensionBytes = 22;
using ExtensionArea = std::array<unsigned char, ExtensionBytes>;
constexpr uint16_t TagExtensible = 0xFFFE;

// The "bext" body as far as it is reported; the coding history is shown up to
// 256 characters, so the buffer ends exactly where that precision stops.
constexpr size_t BextTimeReference = 338;
constexpr size_t BextVersion = 346;
constexpr size_t BextCodingHistory = 602;
constexpr size_t BextBytes = BextCodingHistory + 256;
static_assert(BextBytes == 858);
static_assert(412 + 256 <= BextBytes, "\"Reserved\" runs on as text, inside the buffer");

// The iXML copy moves this much per read and write.
constexpr size_t CopyBlock = size_t{1} << 16;

void StoreLE16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void StoreLE32(unsigned char* p, uint32_t v)
{
    StoreLE16(p, static_cast<uint16_t>(v));
    StoreLE16(p + 2, static_cast<uint16_t>(v >> 16));
}

FormatBytes EncodeFormat(const WaveFormatRecord& f)
{
    FormatBytes b{};
    StoreLE16(&b[0], f.formatTag);
    StoreLE16(&b[2], f.nChannels);
    StoreLE32(&b[4], f.samplesPerSec);
    StoreLE32(&b[8], f.avgBytesPerSec);
    StoreLE16(&b[12], f.blockAlign);
    StoreLE16(&b[14], f.bitsPerSample);
    StoreLE16(&b[16], f.extraBytes);
    return b;
}

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

// Reads the record's bytes over the current record: a short chunk only
// replaces the fields it holds.  Returns the bytes read; *failed on a failure.
size_t ReadFormatRecord(WalkState& w, bool* failed)
{
    FormatBytes raw = EncodeFormat(w.format);
    FormatBytes fresh{};
    const size_t want = std::min<size_t>(raw.size(), w.header.size);
    const size_t got = RIFFRead(w.fd, fresh.data(), want, failed);
    std::memcpy(raw.data(), fresh.data(), got);
    w.format = DecodeFormat(raw);
    return got;
}

// Reads the extension once, for both the kept sub-format group and the report.
// Returns the bytes read.  A chunk below 40 bytes holds fewer than 22: then
// only the report wants them, and it shows nothing from a short extension.
size_t ReadExtension(WalkState& w, bool forReport, ExtensionArea& ext)
{
    const uint32_t size = w.header.size;
    // The size field may be below 18 while an earlier chunk left a large
    // extension size: there is nothing of this chunk left to read then.
    const uint64_t room = size > WaveFormatRecordBytes ? size - WaveFormatRecordBytes : 0;
    const size_t want = std::min<uint64_t>(ExtensionBytes, room);
    if (w.format.extraBytes < ExtensionBytes || want == 0)
        return 0;
    if (want < ExtensionBytes && !forReport)
        return 0;
    bool failed = false;
    const size_t got = RIFFRead(w.fd, ext.data(), want, &failed);
    if (failed)
        return 0;
    if (got == ExtensionBytes) {
        w.hasSubFormat = 1;
        w.subFormatGroup = LoadLE32(&ext[6]);
    }
    return got;
}

void PrintExtension(const ExtensionArea& ext)
{
    out("Ext.Samples.Info", "%u", static_cast<unsigned>(LoadLE16(&ext[0])));
    out("Ext.ChannelMask", "0x%08lX", static_cast<unsigned long>(LoadLE32(&ext[2])));
    out("Ext.SubFormat", "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
        static_cast<unsigned long>(LoadLE32(&ext[6])), static_cast<unsigned>(LoadLE16(&ext[10])),
        static_cast<unsigned>(LoadLE16(&ext[12])), ext[14], ext[15], ext[16], ext[17], ext[18],
        ext[19], ext[20], ext[21]);
}

// `ext` is null unless all 22 extension bytes were read.
void PrintFormat(const WaveFormatRecord& f, const ExtensionArea* ext)
{
    outStart("fmt");
    out("Format", "0x%04X", static_cast<unsigned>(f.formatTag));
    out("Format.Type", "%s", WavFormatAsStr(f.formatTag));
    out("SamplesPerSec", "%lu", static_cast<unsigned long>(f.samplesPerSec));
    out("AvgBytesPerSec", "%lu", static_cast<unsigned long>(f.avgBytesPerSec));
    out("NChannels", "%u", static_cast<unsigned>(f.nChannels));
    out("BlockAlign", "%u", static_cast<unsigned>(f.blockAlign));
    if (f.formatTag == 1 || f.bitsPerSample != 0)
        out("BitsPerSample", "%u", static_cast<unsigned>(f.bitsPerSample));
    if (f.extraBytes != 0) {
        out("ExtraBytes", "%u", static_cast<unsigned>(f.extraBytes));
        if (ext && f.formatTag == TagExtensible)
            PrintExtension(*ext);
    }
    outEnd();
}

// Text fields are written up to their precision or first zero byte; "UMID"
// and "Reserved" run on into the fields after them, but never past the buffer.
void PrintBext(const std::array<char, BextBytes>& body)
{
    const char* t = body.data();
    const auto* u = reinterpret_cast<const unsigned char*>(body.data());
    outStart("bext");
    out("Description", "%.256s", t);
    out("Originator", "%.32s", t + 256);
    out("OriginatorRef", "%.32s", t + 288);
    out("OriginatorDate", " %.10s", t + 320);
    out("OriginatorTime", "%.8s", t + 330);
    out("TimeReferenceLow", "0x%08lX", static_cast<unsigned long>(LoadLE32(u + BextTimeReference)));
    out("TimeReferenceHigh", "0x%08lX",
        static_cast<unsigned long>(LoadLE32(u + BextTimeReference + 4)));
    out("Version", "%u", static_cast<unsigned>(LoadLE16(u + BextVersion)));
    out("UMID", "%.256s", t + 348);
    out("Reserved", "%.256s", t + 412);
    out("CodingHistory", "%.256s", t + BextCodingHistory);
    out("Timestamp", "%llu", static_cast<unsigned long long>(LoadLE64(u + BextTimeReference)));
    outEnd();
}

} // namespace

void outStart(const char* s)
{
    assert(strlen(s) < sizeof(Section));
    const size_t n = strnlen(s, sizeof(Section) - 1);
    std::memcpy(Section, s, n);
    Section[n] = '\0';
}

void out(const char* name, const char* format, ...)
{
    printf("%s.%-20s : ", Section, name);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

void outEnd()
{
    Section[0] = '\0';
}

const char* WavFormatAsStr(uint16_t tag)
{
    switch (tag) {
    case 0x0001:
        return "PCM";
    case 0x0050:
        return "MPEG";
    case TagExtensible:
        return "Extensible";
    default:
        return "Unknown";
    }
}

void FmtChunk(WalkState& w)
{
    // The kept sub-format belongs to this chunk only.
    w.hasSubFormat = 0;
    w.subFormatGroup = 0;
    bool failed = false;
    const size_t got = ReadFormatRecord(w, &failed);
    if (failed)
        return;
    const bool report = WantFmt && got >= 14;
    ExtensionArea ext{};
    const bool wholeExt =
        ReadExtension(w, report && w.format.formatTag == TagExtensible, ext) == ExtensionBytes;
    if (report)
        PrintFormat(w.format, wholeExt ? &ext : nullptr);
}

void BextChunk(WalkState& w)
{
    std::array<char, BextBytes> body{};
    const size_t want = std::min<size_t>(body.size(), w.header.size);
    bool failed = false;
    const size_t got = RIFFRead(w.fd, body.data(), want, &failed);
    if (failed || got == 0 || !WantBext)
        return;
    PrintBext(body);
}

void IXMLChunk(WalkState& w)
{
    static std::array<unsigned char, CopyBlock> block;
    uint64_t left = w.header.size; // the pad byte after an odd size is not copied
    while (left > 0) {
        const size_t want = std::min<uint64_t>(left, block.size());
        bool failed = false;
        const size_t got = RIFFRead(w.fd, block.data(), want, &failed);
        if (got > 0 && fwrite(block.data(), 1, got, stdout) != got) {
            ReportWriteFailure();
            return;
        }
        if (failed || got < want)
            return; // a reported failure, or the file ends inside the chunk
        left -= got;
    }
}
