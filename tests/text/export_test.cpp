// The raw chunk export: RC4 against published test vectors, and whole runs of
// "--rawchunks" read back line by line and deciphered to the chunks' bytes as
// stored in the file.
#include "cli/cli.h"
#include "riff.h"
#include "run_tool.h"
#include "text/dump.h"
#include "text/export.h"
#include "walk_in_process.h"
#include "wav_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

using namespace sondrel;

using namespace wavgen;

namespace
{

std::vector<uint8_t> Keystream(std::string_view key, size_t count)
{
    Rc4State st;
    RC4Init(st, reinterpret_cast<const uint8_t*>(key.data()), key.size());
    std::vector<uint8_t> ks(count);
    for (uint8_t& b : ks)
        b = RC4Output(st);
    return ks;
}

std::string Hex(const uint8_t* p, size_t n)
{
    return HexOf(p, n);
}

TEST(Rc4, KeystreamMatchesPublishedVectors)
{
    const std::string key40("\x01\x02\x03\x04\x05", 5);
    const std::string key128("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10",
                             16);
    const std::string zeros(16, '\0');
    struct Vector {
        std::string key;
        size_t offset;
        std::string plain;
        std::string cipher;
    } const vectors[] = {
        {"Key", 0, "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", 0, "pedia", "1021BF0420"},
        {"Secret", 0, "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
        {key40, 0, zeros, "B2396305F03DC027CCC3524A0A1118A8"},
        {key40, 16, zeros, "6982944F18FC82D589C403A47A0D0919"},
        {key40, 240, zeros, "28CB1132C96CE286421DCAADB8B69EAE"},
        {key40, 256, zeros, "1CFCF62B03EDDB641D77DFCF7F8D8C93"},
        {key128, 0, zeros, "9AC7CC9A609D1EF7B2932899CDE41B97"},
    };
    for (const Vector& v : vectors) {
        std::vector<uint8_t> ks = Keystream(v.key, v.offset + v.plain.size());
        std::vector<uint8_t> c(v.plain.size());
        for (size_t k = 0; k < c.size(); k++)
            c[k] = static_cast<uint8_t>(ks[v.offset + k] ^ static_cast<uint8_t>(v.plain[k]));
        EXPECT_EQ(Hex(c.data(), c.size()), v.cipher)
            << "key of " << v.key.size() << " bytes, offset " << v.offset;
    }
}

std::string LineKey(uint32_t n)
{
    return "com.velmarin." + std::string(n < 10 ? "0" : "") + std::to_string(n) + "=";
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Export {
    std::vector<uint8_t> stream; // the clear nonce, then the enciphered bytes
    std::vector<std::pair<size_t, std::string>> summaries; // stream position, line
    uint32_t lines = 0;
};

// Reads the export back, failing the test on any fault of layout: a line key
// exactly every 32 bytes and only there, numbered from 01, a line break only
// before a line key, and the end-marker newline only when `ended`.
Export ParseExport(const std::string& out, bool ended)
{
    Export e;
    bool sawEnd = false;
    size_t p = 0;
    while (p < out.size()) {
        if (out.compare(p, 7, "Chunk [") == 0) {
            size_t nl = out.find('\n', p);
            if (nl == std::string::npos) {
                ADD_FAILURE() << "summary line without newline";
                break;
            }
            e.summaries.emplace_back(e.stream.size(), out.substr(p, nl + 1 - p));
            p = nl + 1;
            continue;
        }
        const bool lineFull = e.stream.size() % 32 == 0;
        if (out[p] == '\n') {
            if (p + 1 == out.size()) {
                sawEnd = true;
                break;
            }
            if (e.stream.empty() || !lineFull || out.compare(p + 1, 13, "com.velmarin.") != 0) {
                ADD_FAILURE() << "line break after byte " << e.stream.size();
                break;
            }
            p++;
            continue;
        }
        if (lineFull) {
            const std::string key = LineKey(e.lines + 1);
            if (out.compare(p, key.size(), key) != 0 || (e.lines > 0 && out[p - 1] != '\n')) {
                ADD_FAILURE() << "no line key " << key << " before byte " << e.stream.size();
                break;
            }
            p += key.size();
            e.lines++;
        }
        const int hi = HexValue(out[p]);
        const int lo = p + 1 < out.size() ? HexValue(out[p + 1]) : -1;
        if (hi < 0 || lo < 0) {
            ADD_FAILURE() << "no upper-case hex pair for byte " << e.stream.size();
            break;
        }
        e.stream.push_back(static_cast<uint8_t>(hi * 16 + lo));
        p += 2;
    }
    EXPECT_EQ(sawEnd, ended) << "end-marker newline";
    return e;
}

// Rebuilds the run's key from the clear nonce and deciphers the stream.
std::string Decipher(const Export& e)
{
    if (e.stream.empty())
        return {};
    const uint8_t nonce = e.stream[0];
    EXPECT_GE(nonce, 0x01);
    EXPECT_LE(nonce, 0x7E);
    std::string key("kiv.lorhamer.x7q2=\0", 19);
    key[3] = static_cast<char>(nonce);
    std::vector<uint8_t> ks = Keystream(key, e.stream.size() - 1);
    std::string plain;
    for (size_t k = 1; k < e.stream.size(); k++)
        plain += static_cast<char>(e.stream[k] ^ ks[k - 1]);
    return plain;
}

std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t k = 0; k < n; k++)
        s[k] = static_cast<char>((k * 7 + seed) & 0xFF);
    return s;
}

void ExpectSameBytes(const std::string& got, const std::string& want)
{
    size_t k = 0;
    while (k < got.size() && k < want.size() && got[k] == want[k])
        k++;
    EXPECT_TRUE(got == want) << "exported " << got.size() << " bytes, stored " << want.size()
                             << ", first difference at byte " << k;
}

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
// Odd size, with a pad byte that is not zero in the file.
const std::string Note = RawChunk("note", 5, "abcde\x7F", false);
const std::string SmallData = Chunk("data", Pattern(64, 3));
const std::string Junk4095 = RawChunk("JUNK", 4095, Pattern(4095, 11) + "\xA5", false);
const std::string Pad4096 = Chunk("PAD ", Pattern(4096, 5));
const std::string List = Chunk("LIST", "INFOabcd");

// Dumped: fmt, note, JUNK and LIST; 4159 bytes with the nonce, 130 lines.
const std::string Several = Wave(Fmt + Note + SmallData + Junk4095 + Pad4096 + List);

TEST(RawChunks, ExportDeciphersToStoredChunkBytes)
{
    const std::string ds64 = Chunk("ds64", Ds64Body(0, 10, 5));
    const std::string cut3 = RawChunk("note", 3, "xyz", false);
    const std::string cut4 = RawChunk("note", 4, "xyz", false);
    struct Case {
        const char* name;
        std::string file;
        std::string exported;
    } const cases[] = {
        {"several chunks, data and sizes over 4095 left out", Several,
         Fmt + Note + Junk4095 + List},
        {"RF64 with ds64; a non-data 0xFFFFFFFF chunk left out",
         Wave(ds64 + Fmt + RawChunk("data", SizeFromDs64, Pattern(10, 1)) + List +
                  RawChunk("JUNK", SizeFromDs64, "abcd"),
              "RF64"),
         ds64 + Fmt + List},
        {"last pad byte missing at the end of the file", Wave(Fmt + cut3),
         Fmt + cut3 + std::string(1, '\0')},
        {"last body byte of an even chunk missing", Wave(Fmt + cut4),
         Fmt + cut4 + std::string(1, '\0')},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = RunSondrel({"--rawchunks", dir.Write("t.wav", c.file)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        Export e = ParseExport(r.out, true);
        EXPECT_TRUE(e.summaries.empty());
        EXPECT_EQ(e.lines, (c.exported.size() + 1 + 31) / 32);
        ExpectSameBytes(Decipher(e), c.exported);
    }
}

TEST(RawChunks, LineNumbersPast99KeepAllDigits)
{
    TempDir dir;
    RunResult r = RunSondrel({"--rawchunks", dir.Write("t.wav", Several)});
    EXPECT_NE(r.out.find("\ncom.velmarin.99="), std::string::npos);
    EXPECT_NE(r.out.find("\ncom.velmarin.100="), std::string::npos);
    // 4159 bytes: 129 full lines, then 31 bytes and the end-marker newline.
    const size_t last = r.out.rfind("\ncom.velmarin.130=");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(r.out.size() - last, 1 + 17 + 62 + 1);
}

TEST(RawChunks, ReadFailureOnTheLastByteExportsAZero)
{
    // JUNK is dumped after 20 bytes of reads, 24 bytes long: its last byte
    // fails, a zero takes its place, and the walk goes on to LIST.
    const std::string wave = Wave(Chunk("JUNK", "abcdefghijklmnop") + Chunk("LIST", "INFOabcd"));
    TempDir dir;
    RunResult r = RunSondrel({"--rawchunks", dir.Write("f.wav", wave)}, Stdout::Capture,
                             ReadFailsAt(20 + 23));
    EXPECT_EQ(r.err, "RIFFRead: Input/output error\n");
    EXPECT_EQ(r.status, 1);
    // Nonce, 24 bytes of JUNK and 16 of LIST: 41 bytes, two lines and the end marker.
    ASSERT_EQ(r.out.size(), 2 * 16 + 2 * 41 + 2) << r.out;
    std::string expected = wave.substr(12);
    expected[23] = 0;
    ExpectSameBytes(Decipher(ParseExport(r.out, true)), expected);
}

TEST(RawChunks, UnreadableEarlierByteStopsWithoutEndMarker)
{
    const std::string cut10 = RawChunk("note", 10, "abc", false);
    const std::string cut5 = RawChunk("note", 5, "abcd", false);
    struct Case {
        const char* name;
        std::string file;
        std::string exportedFirst;
    } const cases[] = {
        {"body cut short", Wave(Fmt + cut10), Fmt + cut10},
        {"last body byte and pad byte missing", Wave(Fmt + cut5), Fmt + cut5},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = RunSondrel({"--rawchunks", dir.Write("t.wav", c.file)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "sondrel: Error: \nFailed to dump chunk\n");
        ExpectSameBytes(Decipher(ParseExport(r.out, false)), c.exportedFirst);
    }
}

TEST(RawChunks, NothingToExportWritesOnlyTheNewline)
{
    const std::string files[] = {
        Wave(Chunk("data", Pattern(100, 2))),
        Wave(Pad4096 + Chunk("JUNK", Pattern(5000, 9)) + SmallData),
    };
    TempDir dir;
    for (const std::string& f : files) {
        RunResult r = RunSondrel({"--rawchunks", dir.Write("t.wav", f)});
        EXPECT_EQ(r.out, "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(RawChunks, SummaryLineStandsJustBeforeItsChunkInsideExportLine)
{
    TempDir dir;
    RunResult r = RunSondrel({"--chunks", "--rawchunks", dir.Write("t.wav", Several)});
    EXPECT_EQ(r.status, 0);
    Export e = ParseExport(r.out, true);
    ExpectSameBytes(Decipher(e), Fmt + Note + Junk4095 + List);
    // Stream positions count the nonce; the first summary precedes even the nonce.
    const std::vector<std::pair<size_t, std::string>> want = {
        {0, "Chunk [fmt ]           16 bytes\n"},
        {1 + 24, "Chunk [note]            5 bytes\n"},
        {1 + 24 + 14, "Chunk [data]           64 bytes\n"},
        {1 + 24 + 14, "Chunk [JUNK]         4095 bytes\n"},
        {1 + 24 + 14 + 4104, "Chunk [PAD ]         4096 bytes\n"},
        {1 + 24 + 14 + 4104, "Chunk [LIST]            8 bytes\n"},
    };
    EXPECT_EQ(e.summaries, want);
}

std::string ExportInProcess(const std::string& path)
{
    ResetRunState();
    TextOptions options;
    options.rawChunks = true;
    std::string out = CaptureStdout([&] { WalkInProcess(path.c_str(), options); });
    ResetRunState();
    return out;
}

TEST(RawChunks, RandomGeneratorUntouchedWhenNothingIsExported)
{
    TempDir dir;
    srand(4242);
    const int first = rand();

    srand(4242);
    EXPECT_EQ(ExportInProcess(dir.Write("none.wav", Wave(SmallData))), "\n");
    EXPECT_EQ(rand(), first) << "the generator was reseeded or drawn from";

    // The same probe sees the draw of a run that exports something.
    srand(4242);
    ExportInProcess(dir.Write("some.wav", Wave(Fmt)));
    EXPECT_NE(rand(), first);
}

TEST(RawChunks, CountPast2To32NeitherRekeysNorBreaksLines)
{
    ResetRunState();
    std::string out = CaptureStdout([] {
        ExportStream e;
        outdump(e, 0);
        e.CharCount = 0xFFFFFFFEu; // two bytes short of wrapping, mid-line
        e.LineCount = 1;
        outdump(e, 0);
        outdump(e, 0);
        outdump(e, 0);
    });
    ResetRunState();
    ASSERT_GE(out.size(), 18u);
    std::string key("kiv.lorhamer.x7q2=\0", 19);
    key[3] = static_cast<char>(HexValue(out[16]) * 16 + HexValue(out[17]));
    std::vector<uint8_t> ks = Keystream(key, 4);
    EXPECT_EQ(out, "com.velmarin.01=" + out.substr(16, 2) + Hex(ks.data(), 3) +
                       "\ncom.velmarin.02=" + Hex(ks.data() + 3, 1));
}

} // namespace
