// The "fmt", "bext" and iXML reports, checked through the whole program.
#include "cli/cli.h"
#include "lines.h"
#include "run_tool.h"
#include "text/report.h"
#include "wav_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace sondrel;

using namespace wavgen;
using namespace std::string_literals;

namespace
{

// The six "fmt" lines that every report has.
std::string Head(const char* tag, const char* type, const char* rate, const char* avg,
                 const char* channels, const char* align)
{
    return ReportLine("fmt", "Format", tag) + ReportLine("fmt", "Format.Type", type) +
           ReportLine("fmt", "SamplesPerSec", rate) + ReportLine("fmt", "AvgBytesPerSec", avg) +
           ReportLine("fmt", "NChannels", channels) + ReportLine("fmt", "BlockAlign", align);
}

std::string Bits(const char* v)
{
    return ReportLine("fmt", "BitsPerSample", v);
}

std::string Extra(const char* v)
{
    return ReportLine("fmt", "ExtraBytes", v);
}

// Extension: valid bits 20, mask 0x80000001, a sub-format whose every group differs.
std::string Extension(uint16_t cbSize)
{
    return LE16(cbSize) + LE16(20) + LE32(0x80000001) + LE32(0x12345678) + LE16(0x9ABC) +
           LE16(0xDEF0) + "\x01\x23\x45\x67\x89\xAB\xCD\xEF"s;
}

const std::string ExtLines =
    ReportLine("fmt", "Ext.Samples.Info", "20") +
    ReportLine("fmt", "Ext.ChannelMask", "0x80000001") +
    ReportLine("fmt", "Ext.SubFormat", "12345678-9ABC-DEF0-0123-456789ABCDEF");

const std::string Pcm16 = FmtBody(1, 2, 48000, 16);
const std::string Pcm16Lines = Head("0x0001", "PCM", "48000", "192000", "2", "4") + Bits("16");
const std::string Ext24 = FmtBody(0xFFFE, 2, 48000, 24) + Extension(22);
const std::string Ext24Lines =
    Head("0xFFFE", "Extensible", "48000", "288000", "2", "6") + Bits("24") + Extra("22") + ExtLines;
const std::string Data4 = Chunk("data", "abcd");

// The cases give the chunks; each file is the RIFF header and those chunks.
void RunCases(std::vector<FileCase> cases, const std::vector<std::string>& options)
{
    for (FileCase& c : cases)
        c.file = Wave(c.file);
    ExpectCases(cases, options);
}

TEST(ReportLines, LayoutPadsNamesToTwentyColumns)
{
    TempDir dir;
    RunResult r = RunSondrel({"--fmt", dir.Write("a.wav", Wave(Chunk("fmt ", Pcm16) + Data4))});
    EXPECT_EQ(r.out, "fmt.Format               : 0x0001\n"
                     "fmt.Format.Type          : PCM\n"
                     "fmt.SamplesPerSec        : 48000\n"
                     "fmt.AvgBytesPerSec       : 192000\n"
                     "fmt.NChannels            : 2\n"
                     "fmt.BlockAlign           : 4\n"
                     "fmt.BitsPerSample        : 16\n");
    EXPECT_EQ(r.err, "+OK\n");
}

TEST(FmtReport, ChunkSizesTagsAndExtensions)
{
    const std::string junk = Chunk("JUNK", std::string(40, '\x7F'));
    std::vector<FileCase> cases = {
        {"16-byte PCM chunk", Chunk("fmt ", Pcm16) + Data4, Pcm16Lines},
        {"12-byte chunk must print nothing", RawChunk("fmt ", 12, Pcm16.substr(0, 12)), ""},
        {"14-byte chunk: bits per sample must stay zero", Chunk("fmt ", Pcm16.substr(0, 14)),
         Head("0x0001", "PCM", "48000", "192000", "2", "4") + Bits("0")},
        {"18-byte chunk with no extension", Chunk("fmt ", Pcm16 + LE16(0)), Pcm16Lines},
        {"odd 17-byte chunk must not read its pad byte",
         RawChunk("fmt ", 17, FmtBody(0x31, 1, 8000, 0) + "\x02\x01"s, false),
         Head("0x0031", "Unknown", "8000", "0", "1", "0") + Extra("2")},
        {"tag 3 is Unknown but shows its bits", Chunk("fmt ", FmtBody(3, 2, 48000, 32)),
         Head("0x0003", "Unknown", "48000", "384000", "2", "8") + Bits("32")},
        {"other tag with bits", Chunk("fmt ", FmtBody(2, 1, 8000, 4)),
         Head("0x0002", "Unknown", "8000", "8000", "1", "1") + Bits("4")},
        {"MPEG with a 22-byte extension has no Ext lines",
         Chunk("fmt ", FmtBody(0x50, 2, 48000, 0) + Extension(22)),
         Head("0x0050", "MPEG", "48000", "0", "2", "0") + Extra("22")},
        {"extensible, full 40-byte chunk", Chunk("fmt ", Ext24), Ext24Lines},
        {"extensible with extension size 21",
         Chunk("fmt ", FmtBody(0xFFFE, 2, 48000, 24) + Extension(21)),
         Head("0xFFFE", "Extensible", "48000", "288000", "2", "6") + Bits("24") + Extra("21")},
        {"extensible with extension size 0", Chunk("fmt ", FmtBody(0xFFFE, 2, 48000, 24) + LE16(0)),
         Head("0xFFFE", "Extensible", "48000", "288000", "2", "6") + Bits("24")},
        {"39-byte extensible chunk must not borrow the next chunk's bytes",
         Chunk("fmt ", Ext24.substr(0, 39)) + junk,
         Head("0xFFFE", "Extensible", "48000", "288000", "2", "6") + Bits("24") + Extra("22")},
        {"two chunks are both reported", Chunk("fmt ", Pcm16) + Chunk("fmt ", Ext24),
         Pcm16Lines + Ext24Lines},
        {"12-byte chunk after a full one prints nothing",
         Chunk("fmt ", Pcm16) + Chunk("fmt ", FmtBody(3, 1, 8000, 32).substr(0, 12)), Pcm16Lines},
        {"14-byte chunk keeps the earlier bits per sample",
         Chunk("fmt ", Ext24) + Chunk("fmt ", FmtBody(1, 1, 8000, 8).substr(0, 14)),
         Ext24Lines + Head("0x0001", "PCM", "8000", "8000", "1", "1") + Bits("24") + Extra("22")},
        {"16-byte chunk after an extensible one must not read past its size",
         Chunk("fmt ", Ext24) + Chunk("fmt ", FmtBody(0xFFFE, 1, 8000, 16)) + junk,
         Ext24Lines + Head("0xFFFE", "Extensible", "8000", "16000", "1", "2") + Bits("16") +
             Extra("22")},
    };
    RunCases(cases, {"--fmt"});
}

// Feeds one "fmt " body to the handler, as the walker would, without --fmt.
void Feed(const TempDir& dir, WalkState& w, uint32_t sizeField, const std::string& bytes)
{
    std::string path = dir.Write("body", bytes);
    w.walk.fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(w.walk.fd, 0);
    w.walk.header.size = sizeField;
    FmtChunk(w);
    close(w.walk.fd);
}

TEST(FmtRecord, FilledWithoutReportAndKeepsUndeliveredBytes)
{
    TempDir dir;
    ResetRunState();
    WalkState w;                                              // no --fmt
    Feed(dir, w, 16, FmtBody(1, 2, 48000, 24) + "\x05\x00"s); // bytes past the size field
    EXPECT_EQ(w.format.formatTag, 1);
    EXPECT_EQ(w.format.blockAlign, 6);
    EXPECT_EQ(w.format.bitsPerSample, 24);
    EXPECT_EQ(w.format.extraBytes, 0);
    Feed(dir, w, 12, FmtBody(3, 1, 8000, 32));
    EXPECT_EQ(w.format.formatTag, 3);
    EXPECT_EQ(w.format.nChannels, 1);
    EXPECT_EQ(w.format.samplesPerSec, 8000u);
    EXPECT_EQ(w.format.avgBytesPerSec, 32000u);
    EXPECT_EQ(w.format.blockAlign, 6);     // from the first chunk
    EXPECT_EQ(w.format.bitsPerSample, 24); // from the first chunk
}

TEST(FmtRecord, SubFormatGroupKeptOnlyFromAWholeExtension)
{
    struct Step {
        const char* what;
        uint32_t sizeField;
        std::string bytes;
        int has;
        uint32_t group;
    };
    const std::string float32 = ExtensibleBody(2, 48000, 32, 3, 3);
    const std::vector<Step> steps = {
        {"float extensible keeps group 3 without --fmt", 40, float32, 1, 3},
        {"a plain chunk clears the group", 16, Pcm16, 0, 0},
        {"the group is kept whatever the tag", 40, FmtBody(0x50, 2, 48000, 0) + Extension(22), 1,
         0x12345678},
        {"a 39-byte chunk has no whole extension", 39, float32, 0, 0},
        {"extension size 21 has no whole extension", 40,
         FmtBody(0xFFFE, 2, 48000, 24) + Extension(21), 0, 0},
        {"a file that ends inside the extension", 40, float32.substr(0, 30), 0, 0},
    };
    TempDir dir;
    ResetRunState();
    WalkState w; // no --fmt
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        Feed(dir, w, s.sizeField, s.bytes);
        EXPECT_EQ(w.hasSubFormat, s.has);
        EXPECT_EQ(w.subFormatGroup, s.group);
    }
}

// A "bext" body with every fixed field set; the time reference is 2^32 + 2.
BextFields BaseBext()
{
    BextFields b;
    b.description = "Desc";
    b.originator = "Orig";
    b.originatorReference = "Ref-1";
    b.originationDate = "2024-01-31";
    b.originationTime = "12:34:56";
    b.timeReference = (uint64_t{1} << 32) + 2;
    b.version = 1;
    return b;
}

struct BextLines {
    std::string description = "Desc", originator = "Orig", reference = "Ref-1";
    std::string low = "0x00000002", high = "0x00000001", version = "1";
    std::string umid = "", reserved = "", history = "", timestamp = "4294967298";
};

std::string Render(const BextLines& e)
{
    return ReportLine("bext", "Description", e.description) +
           ReportLine("bext", "Originator", e.originator) +
           ReportLine("bext", "OriginatorRef", e.reference) +
           ReportLine("bext", "OriginatorDate", " 2024-01-31") +
           ReportLine("bext", "OriginatorTime", "12:34:56") +
           ReportLine("bext", "TimeReferenceLow", e.low) +
           ReportLine("bext", "TimeReferenceHigh", e.high) +
           ReportLine("bext", "Version", e.version) + ReportLine("bext", "UMID", e.umid) +
           ReportLine("bext", "Reserved", e.reserved) +
           ReportLine("bext", "CodingHistory", e.history) +
           ReportLine("bext", "Timestamp", e.timestamp);
}

TEST(BextReport, SizesTextFieldsAndTimeReference)
{
    const std::string base = BextBody(BaseBext());
    const std::string junk = Chunk("JUNK", "JUNKDATA");
    BextFields longText = BaseBext();
    longText.description = std::string(256, 'D');
    longText.originator = std::string(32, 'O');
    BextFields umid = BaseBext();
    umid.umid = std::string(64, 'U');
    std::string umidBody = BextBody(umid).replace(412, 4, "LOUD");
    const std::string digits = [] {
        std::string s;
        for (int i = 0; i < 30; i++)
            s += "0123456789";
        return s;
    }();
    std::vector<FileCase> cases = {
        {"338-byte chunk: everything after the texts is zero",
         Chunk("bext", base.substr(0, 338)) + junk,
         Render({.low = "0x00000000", .high = "0x00000000", .version = "0", .timestamp = "0"})},
        {"602-byte chunk must not read the next chunk as coding history",
         Chunk("bext", base) + junk, Render({})},
        {"858-byte chunk shows 256 characters of history",
         Chunk("bext", base + std::string(256, 'h')), Render({.history = std::string(256, 'h')})},
        {"longer history is cut at 256", Chunk("bext", base + digits),
         Render({.history = digits.substr(0, 256)})},
        {"odd chunk must not read its pad byte", RawChunk("bext", 603, base + "XZ", false),
         Render({.history = "X"})},
        {"history keeps its line breaks", Chunk("bext", base + "A=PCM\r\nT=two\r\n"),
         Render({.history = "A=PCM\r\nT=two\r\n"})},
        {"texts filling their fields must not run into the next", Chunk("bext", BextBody(longText)),
         Render({.description = std::string(256, 'D'), .originator = std::string(32, 'O')})},
        {"UMID and Reserved are text running on to a zero byte", Chunk("bext", umidBody),
         Render({.umid = std::string(64, 'U') + "LOUD", .reserved = "LOUD"})},
    };
    RunCases(cases, {"--bext"});
}

TEST(BextReport, LiteralLinesAndSilenceWithoutOption)
{
    TempDir dir;
    std::string file = dir.Write("b.wav", Wave(Chunk("bext", BextBody(BaseBext())) + Data4));
    RunResult r = RunSondrel({"--bext", file});
    EXPECT_NE(r.out.find("\nbext.OriginatorDate       :  2024-01-31\n"
                         "bext.OriginatorTime       : 12:34:56\n"
                         "bext.TimeReferenceLow     : 0x00000002\n"
                         "bext.TimeReferenceHigh    : 0x00000001\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 39), "bext.Timestamp            : 4294967298\n");
    r = RunSondrel({"--fmt", file});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "+OK\n");
}

TEST(IXMLCopy, BodyBytesExactlyAsStored)
{
    const std::string fmt = Chunk("fmt ", Pcm16);
    std::vector<FileCase> cases = {
        {"zero bytes kept, pad byte not copied",
         fmt + RawChunk("iXML", 5, "a\0b\0c"s + "P", false) + Data4, "a\0b\0c"s},
        {"only the iXML body, nothing of the other chunks",
         fmt + Chunk("bext", BextBody(BaseBext())) + Chunk("iXML", "<x/>") + Data4, "<x/>"},
        {"two iXML chunks are both copied", Chunk("iXML", "<a/>") + Chunk("iXML", "<b/>"),
         "<a/><b/>"},
        {"file ending inside the chunk: what is there, quietly",
         fmt + RawChunk("iXML", 100, "<cut", false), "<cut"},
    };
    RunCases(cases, {"--ixml"});
    RunCases({{"no copy without --ixml", fmt + Chunk("iXML", "<x/>"), Pcm16Lines}}, {"--fmt"});
}

std::string Noise(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>((x >> 16) % 7 == 0 ? 0 : x >> 24);
    }
    return s;
}

TEST(IXMLCopy, TenMegabyteChunkCopiedExactly)
{
    TempDir dir;
    const std::string body = Noise((size_t{10} << 20) + 7);
    std::string file = dir.Write("big.wav", Wave(Chunk("iXML", body) + Data4));
    RunResult r = RunSondrel({"--ixml", file});
    EXPECT_EQ(r.out.size(), body.size());
    EXPECT_TRUE(r.out == body);
    EXPECT_EQ(r.err, "+OK\n");
    EXPECT_EQ(r.status, 0);
}

TEST(IXMLCopy, FailedWriteIsReportedOnceWithStatusOne)
{
    TempDir dir;
    std::string file = dir.Write("big.wav", Wave(Chunk("iXML", Noise(size_t{1} << 20))));
    const std::pair<Stdout, const char*> cases[] = {
        {Stdout::DevFull, "Writing output file: No space left on device\n+OK\n"},
        {Stdout::Closed, "Writing output file: Bad file descriptor\n+OK\n"},
    };
    for (const auto& [where, err] : cases) {
        RunResult r = RunSondrel({"--ixml", file}, where);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 1);
    }
}

} // namespace
