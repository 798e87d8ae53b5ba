// The chunk walk: headers, sizes, pad bytes, ds64 and where the walk stops.
#include "lines.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

using namespace wavgen;
using namespace std::string_literals;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));

TEST(Walker, SizesPadBytesAndStops)
{
    const std::string data8 = Chunk("data", std::string(8, 'x'));
    std::vector<FileCase> cases = {
        {"fmt and data", Wave(Fmt16 + data8), SummaryLine("fmt ", 16) + SummaryLine("data", 8)},
        {"odd chunk steps over its pad byte", Wave(Chunk("odd ", "abc") + Fmt16 + data8),
         SummaryLine("odd ", 3) + SummaryLine("fmt ", 16) + SummaryLine("data", 8)},
        {"pad byte missing at the end of the file",
         Wave(Fmt16 + RawChunk("data", 5, "12345", false)),
         SummaryLine("fmt ", 16) + SummaryLine("data", 5)},
        {"zero-size chunk ends the walk", Wave(Fmt16 + Chunk("JUNK", "") + data8),
         SummaryLine("fmt ", 16)},
        {"zero padding after the last chunk", Wave(Fmt16 + std::string(64, '\0')),
         SummaryLine("fmt ", 16)},
        {"header cut short", Wave(Fmt16 + "dat"), SummaryLine("fmt ", 16)},
        {"chunk longer than the file", Wave(Fmt16 + RawChunk("data", 1000, "xy")),
         SummaryLine("fmt ", 16) + SummaryLine("data", 1000)},
        {"sentinel size in a RIFF file is taken as it stands",
         Wave(Fmt16 + RawChunk("data", 0xFFFFFFFF, "xyz")),
         SummaryLine("fmt ", 16) + SummaryLine("data", 4294967295ull)},
        {"id with a zero byte", Wave(Chunk(std::string("ab\0\0", 4), "12") + Fmt16),
         SummaryLine("ab", 2) + SummaryLine("fmt ", 16)},
        {"no chunks at all", Wave(""), ""},
    };
    ExpectCases(cases, {});
}

TEST(Walker, Rf64SizesComeFromDs64)
{
    const std::string ds64 = Chunk("ds64", Ds64Body(100, 6, 3));
    const std::string ds64Odd = Chunk("ds64", Ds64Body(100, 5, 0));
    const std::string tail = Chunk("LIST", "INFO");
    std::vector<FileCase> cases = {
        {"sentinel data size",
         Wave(ds64 + Fmt16 + RawChunk("data", 0xFFFFFFFF, "123456") + tail, "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("fmt ", 16) + SummaryLine("data", 6) +
             SummaryLine("LIST", 4)},
        {"BW64 magic", Wave(ds64 + Fmt16 + RawChunk("data", 0xFFFFFFFF, "123456") + tail, "BW64"),
         SummaryLine("ds64", 28) + SummaryLine("fmt ", 16) + SummaryLine("data", 6) +
             SummaryLine("LIST", 4)},
        {"odd ds64 size is stepped to even",
         Wave(ds64Odd + RawChunk("data", 0xFFFFFFFF, "12345") + tail, "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 5) + SummaryLine("LIST", 4)},
        {"no ds64 before the sentinel ends the walk",
         Wave(Fmt16 + RawChunk("data", 0xFFFFFFFF, "123456") + tail, "RF64"),
         SummaryLine("fmt ", 16)},
        {"ordinary data size is listed from ds64 but stepped by the header",
         Wave(ds64 + Chunk("data", "12") + tail, "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 6) + SummaryLine("LIST", 4)},
        {"ds64 after data", Wave(Chunk("data", "12") + ds64 + tail, "RF64"),
         SummaryLine("data", 0) + SummaryLine("ds64", 28) + SummaryLine("LIST", 4)},
        {"sentinel on a chunk other than data is not resolved",
         Wave(ds64 + RawChunk("JUNK", 0xFFFFFFFF, "12"), "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("JUNK", 4294967295ull)},
        {"ds64 in a RIFF file is an ordinary chunk",
         Wave(ds64 + RawChunk("data", 0xFFFFFFFF, "12")),
         SummaryLine("ds64", 28) + SummaryLine("data", 4294967295ull)},
        {"ds64 cut short before its data size keeps the earlier one",
         Wave(ds64 + RawChunk("data", 0xFFFFFFFF, "123456") + RawChunk("ds64", 28, "12345678"),
              "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 6) + SummaryLine("ds64", 28)},
    };
    ExpectCases(cases, {"--chunks"});
}

TEST(Walker, ForgedDs64SizesCannotWrapTheWalk)
{
    const std::string fail = "RIFFChunkNext: Invalid argument\n+OK\n";
    std::vector<FileCase> cases = {
        {"size 2^64-1",
         Wave(Chunk("ds64", Ds64Body(0, ~0ull, 0)) + RawChunk("data", 0xFFFFFFFF, ""), "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 18446744073709551615ull), fail, 1},
        {"size 2^64-64 wraps below the chunk",
         Wave(Chunk("ds64", Ds64Body(0, ~0ull - 63, 0)) + RawChunk("data", 0xFFFFFFFF, ""), "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 18446744073709551552ull), fail, 1},
        {"size past the largest file offset",
         Wave(Chunk("ds64", Ds64Body(0, 1ull << 63, 0)) + RawChunk("data", 0xFFFFFFFF, ""), "RF64"),
         SummaryLine("ds64", 28) + SummaryLine("data", 1ull << 63), fail, 1},
    };
    ExpectCases(cases, {"--chunks"});
}

TEST(Walker, FilesThatAreNotWave)
{
    const std::string notWave = "sondrel: Error: Not a WAVE file\n+OK\n";
    std::vector<FileCase> cases = {
        {"empty file", "", "", notWave, 1},
        {"shorter than a header", "RIFF\x04\0\0"s, "", notWave, 1},
        {"magic without form type", "RIFF\x04\0\0\0WAV"s, "", notWave, 1},
        {"big-endian magic", "RIFX\x04\0\0\0WAVE"s, "", notWave, 1},
        {"lower-case magic", "riff\x04\0\0\0WAVE"s, "", notWave, 1},
        {"other form type", "RIFF\x04\0\0\0AVI "s, "", notWave, 1},
        {"text file", "hello, this is not audio\n", "", notWave, 1},
    };
    ExpectCases(cases, {});
}

TEST(Walker, EndMarkerIsANewlineOnStandardOutputInRawExportMode)
{
    TempDir dir;
    RunResult r = RunSondrel({"--rawchunks", dir.Write("x.wav", "RIFX\x04\0\0\0WAVE"s)});
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "sondrel: Error: Not a WAVE file\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Walker, FilesThatCannotBeRead)
{
    TempDir dir;
    RunResult r = RunSondrel({dir.path() + "/missing.wav"});
    EXPECT_EQ(r.err, "Can't open file for reading: No such file or directory\n+OK\n");
    EXPECT_EQ(r.status, 1);
    r = RunSondrel({dir.path()});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "RIFFRead: Is a directory\n+OK\n");
    EXPECT_EQ(r.status, 1);
}

// An RF64 file of 5 GiB made sparse, so it costs no disk: the walk must reach
// the chunk after the audio with 64-bit offsets.
TEST(Walker, Rf64PastFourGigabytesIsWalkedToItsEnd)
{
    TempDir dir;
    const uint64_t dataSize = (5ull << 30) + 1;
    const std::string path = dir.path() + "/big.wav";
    ASSERT_TRUE(WriteSparseRf64(path, "RF64", dataSize, 0, Chunk("LIST", "INFOtail")));
    RunResult r = RunSondrel({path});
    EXPECT_EQ(r.out, SummaryLine("ds64", 28) + SummaryLine("fmt ", 16) +
                         SummaryLine("data", dataSize) + SummaryLine("LIST", 8));
    EXPECT_EQ(r.err, "+OK\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
