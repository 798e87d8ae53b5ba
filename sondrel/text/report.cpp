// Report lines and the "fmt ", "bext" and "iXML" handlers.
#include "text/report.h"

#include "io.h"
#include "status.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace sondrel {

namespace
{

static_assert(WaveFormatRecordBytes == 18, "the record is the first 18 bytes of the body");

// The "bext" body as far as it is reported; the coding history is shown up to
// 256 characters, so the buffer ends exactly where that precision stops.
constexpr size_t BextBytes = BextCodingHistory + 256;
static_assert(BextBytes == 858);
static_assert(BextLoudness + 256 <= BextBytes, "\"Reserved\" runs on as text, inside the buffer");

// The iXML copy moves this much per read and write.
constexpr size_t CopyBlock = size_t{1} << 16;

// Reads the record's bytes over those of an earlier "fmt " chunk: a short
// chunk only replaces the fields it holds.  Returns the bytes read.
size_t ReadFormatRecord(WalkState& w, bool* failed)
{
    FormatBytes fresh{};
    const size_t want = std::min<size_t>(fresh.size(), w.header().size);
    const size_t got = RIFFRead(w.fd(), fresh.data(), want, failed);
    std::memcpy(w.formatBytes.data(), fresh.data(), got);
    w.format = DecodeFormat(w.formatBytes);
    return got;
}

// Reads as much of the 22-byte extension as this chunk holds, when the
// extension size announces it.  A chunk below 40 bytes holds fewer than 22:
// only the report asks for those, and it shows nothing from them.
size_t ReadExtension(const WalkState& w, bool forReport, ExtensionArea& ext)
{
    // The size field may be below 18 while an earlier chunk left a large
    // extension size: there is nothing of this chunk left to read then.
    const uint32_t size = w.header().size;
    const uint64_t room = size > WaveFormatRecordBytes ? size - WaveFormatRecordBytes : 0;
    const size_t want = std::min<uint64_t>(FormatExtensionBytes, room);
    if (w.format.extraBytes < FormatExtensionBytes || want == 0)
        return 0;
    if (want < FormatExtensionBytes && !forReport)
        return 0;
    bool failed = false;
    const size_t got = RIFFRead(w.fd(), ext.data(), want, &failed);
    return failed ? 0 : got;
}

// The downmix needs the sub-format to refuse extensible float.
void KeepSubFormat(WalkState& w, const ExtensionArea& ext)
{
    w.hasSubFormat = 1;
    w.subFormatGroup = SubFormatGroup(DecodeExtension(ext));
}

void PrintExtension(const Section& s, const ExtensionArea& bytes)
{
    const FormatExtension ext = DecodeExtension(bytes);
    out(s, "Ext.Samples.Info", "%u", static_cast<unsigned>(ext.validBits));
    out(s, "Ext.ChannelMask", "0x%08lX", static_cast<unsigned long>(ext.channelMask));
    out(s, "Ext.SubFormat", "%s", GuidText(ext.subFormat).c_str());
}

// `ext` is null unless all 22 extension bytes were read.
void PrintFormat(const WaveFormatRecord& f, const ExtensionArea* ext)
{
    Section s{};
    outStart(s, "fmt");
    out(s, "Format", "0x%04X", static_cast<unsigned>(f.formatTag));
    out(s, "Format.Type", "%s", WavFormatAsStr(f.formatTag));
    out(s, "SamplesPerSec", "%lu", static_cast<unsigned long>(f.samplesPerSec));
    out(s, "AvgBytesPerSec", "%lu", static_cast<unsigned long>(f.avgBytesPerSec));
    out(s, "NChannels", "%u", static_cast<unsigned>(f.nChannels));
    out(s, "BlockAlign", "%u", static_cast<unsigned>(f.blockAlign));
    if (f.formatTag == 1 || f.bitsPerSample != 0)
        out(s, "BitsPerSample", "%u", static_cast<unsigned>(f.bitsPerSample));
    if (f.extraBytes != 0) {
        out(s, "ExtraBytes", "%u", static_cast<unsigned>(f.extraBytes));
        if (ext && f.formatTag == TagExtensible)
            PrintExtension(s, *ext);
    }
    outEnd(s);
}

// Text fields are written up to their precision or first zero byte; "UMID"
// and "Reserved" run on into the fields after them, but never past the buffer.
void PrintBext(const std::array<char, BextBytes>& body)
{
    const char* t = body.data();
    const auto* u = reinterpret_cast<const unsigned char*>(body.data());
    Section s{};
    outStart(s, "bext");
    out(s, "Description", "%.256s", t);
    out(s, "Originator", "%.32s", t + BextOriginator);
    out(s, "OriginatorRef", "%.32s", t + BextOriginatorRef);
    out(s, "OriginatorDate", " %.10s", t + BextDate);
    out(s, "OriginatorTime", "%.8s", t + BextTime);
    out(s, "TimeReferenceLow", "0x%08lX",
        static_cast<unsigned long>(LoadLE32(u + BextTimeReference)));
    out(s, "TimeReferenceHigh", "0x%08lX",
        static_cast<unsigned long>(LoadLE32(u + BextTimeReference + 4)));
    out(s, "Version", "%u", static_cast<unsigned>(LoadLE16(u + BextVersion)));
    out(s, "UMID", "%.256s", t + BextUmid);
    out(s, "Reserved", "%.256s", t + BextLoudness);
    out(s, "CodingHistory", "%.256s", t + BextCodingHistory);
    out(s, "Timestamp", "%llu", static_cast<unsigned long long>(LoadLE64(u + BextTimeReference)));
    outEnd(s);
}

} // namespace

void outStart(Section& section, const char* s)
{
    assert(strlen(s) < sizeof(section.name));
    const size_t n = strnlen(s, sizeof(section.name) - 1);
    std::memcpy(section.name, s, n);
    section.name[n] = '\0';
}

void out(const Section& section, const char* name, const char* format, ...)
{
    printf("%s.%-20s : ", section.name, name);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

void outEnd(Section& section)
{
    section.name[0] = '\0';
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
    const bool report = w.options.fmt && got >= 14;
    ExtensionArea ext{};
    const bool wholeExt = ReadExtension(w, report && w.format.formatTag == TagExtensible, ext) ==
                          FormatExtensionBytes;
    if (wholeExt)
        KeepSubFormat(w, ext);
    if (report)
        PrintFormat(w.format, wholeExt ? &ext : nullptr);
}

void BextChunk(WalkState& w)
{
    std::array<char, BextBytes> body{};
    const size_t want = std::min<size_t>(body.size(), w.header().size);
    bool failed = false;
    const size_t got = RIFFRead(w.fd(), body.data(), want, &failed);
    if (failed || got == 0 || !w.options.bext)
        return;
    PrintBext(body);
}

void IXMLChunk(WalkState& w)
{
    std::array<unsigned char, CopyBlock> block;
    uint64_t left = w.header().size; // the pad byte after an odd size is not copied
    while (left > 0) {
        const size_t want = std::min<uint64_t>(left, block.size());
        bool failed = false;
        const size_t got = RIFFRead(w.fd(), block.data(), want, &failed);
        if (got > 0 && fwrite(block.data(), 1, got, stdout) != got) {
            ReportWriteFailure();
            return;
        }
        if (failed || got < want)
            return; // a reported failure, or the file ends inside the chunk
        left -= got;
    }
}

} // namespace sondrel
