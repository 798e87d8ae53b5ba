// Streaming the "data" chunk through the whole program: blocks, progress,
// truncation, the mono mix and its refusals, dry runs and failed writes.
#include "lines.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

using namespace wavgen;

std::string Alloc(unsigned long bytes)
{
    return "Allocating " + std::to_string(bytes) + " byte buffer\n";
}

std::string Progress(unsigned long long done, unsigned long long total, int percent)
{
    char line[128];
    snprintf(line, sizeof line, "\rStreaming... %llu of %llu bytes (%3d%%)", done, total, percent);
    return line;
}

const std::string Ok = "+OK\n";
const std::string Truncated = "WARNING: Incomplete data chunk (file truncated?)\n";
const std::string PartialFrame = "sondrel: Warning: PCMToMono: Incomplete audio buffer\n";
const std::string DiskFull = "Writing output file: No space left on device\n";

std::string Fmt(uint16_t channels, uint16_t bits, uint16_t tag = 1)
{
    return Chunk("fmt ", FmtBody(tag, channels, 48000, bits));
}

std::string PcmFile(uint16_t channels, uint16_t bits, std::string_view audio)
{
    return Wave(Fmt(channels, bits) + Chunk("data", audio));
}

struct Case {
    std::string what;
    std::string file;
    std::vector<std::string> options;
    std::string out;
    std::string err;
    int status = 0;
    Stdout where = Stdout::Capture;
};

void RunCases(const std::vector<Case>& cases)
{
    std::vector<FileCase> files;
    for (const Case& c : cases)
        files.push_back({c.what, c.file, c.out, c.err, c.status, c.where, c.options});
    ExpectCases(files, {});
}

TEST(DataStreaming, CopiesTheAudioAsStoredInBlocks)
{
    const std::string small = NoiseBytes(1000, 1);
    const std::string threeBlocks = NoiseBytes(2 * 196608 + 1000, 2);
    const std::string odd = NoiseBytes(4801, 3);
    RunCases({
        {"one block",
         PcmFile(1, 16, small),
         {"--data"},
         small,
         Alloc(196608) + Progress(1000, 1000, 100) + "\n" + Ok},
        {"three blocks of one channel",
         PcmFile(1, 16, threeBlocks),
         {"--data"},
         threeBlocks,
         Alloc(196608) + Progress(196608, 394216, 49) + Progress(393216, 394216, 99) +
             Progress(394216, 394216, 100) + "\n" + Ok},
        {"odd size: the pad byte is not audio",
         Wave(Fmt(1, 8) + Chunk("data", odd) + Chunk("LIST", "INFO")),
         {"--data"},
         odd,
         Alloc(196608) + Progress(4801, 4801, 100) + "\n" + Ok},
        {"data before fmt streams as stored with a one-channel buffer",
         Wave(Chunk("data", small) + Fmt(2, 16)),
         {"--data"},
         small,
         Alloc(196608) + Progress(1000, 1000, 100) + "\n" + Ok},
        {"each data chunk is streamed on its own",
         Wave(Fmt(2, 16) + Chunk("data", "abcd") + Chunk("data", "efghij")),
         {"--data"},
         "abcdefghij",
         Alloc(393216) + Progress(4, 4, 100) + "\n" + Alloc(393216) + Progress(6, 6, 100) + "\n" +
             Ok},
        {"dry run reads and reports but writes nothing",
         PcmFile(1, 16, threeBlocks),
         {"--data", "--dryrun"},
         "",
         Alloc(196608) + Progress(196608, 394216, 49) + Progress(393216, 394216, 99) +
             Progress(394216, 394216, 100) + "\n" + Ok},
    });
}

TEST(DataStreaming, RF64OddDs64SizeStreamsNoPadByteAndTheWalkGoesOn)
{
    const std::string file =
        Wave(Chunk("ds64", Ds64Body(0, 5, 5)) + Fmt(1, 8) + RawChunk("data", 0xFFFFFFFF, "abcde") +
                 Chunk("LIST", "INFOnext"),
             "RF64");
    // Summary lines and audio share standard output and must keep their order.
    RunCases({{"RF64 odd ds64 size",
               file,
               {"--chunks", "--data"},
               SummaryLine("ds64", 28) + SummaryLine("fmt ", 16) + SummaryLine("data", 5) +
                   "abcde" + SummaryLine("LIST", 8),
               Alloc(196608) + Progress(5, 5, 100) + "\n" + Ok}});
}

// A truncated recording loses nothing: every byte present is written, then the
// warning; it is not a failure.
TEST(DataStreaming, TruncatedFileWritesAllAudioPresentThenWarns)
{
    const std::string present = NoiseBytes(196608 + 500, 4);
    const std::string stereo = NoiseBytes(1001, 5);
    RunCases({
        {"cut inside the second block",
         Wave(Fmt(1, 16) + RawChunk("data", 3 * 196608, present)),
         {"--data"},
         present,
         Alloc(196608) + Progress(196608, 589824, 33) + Progress(197108, 589824, 33) + "\n" +
             Truncated + Ok},
        {"cut inside the first block and inside a frame, mixed",
         Wave(Fmt(2, 16) + RawChunk("data", 2000, stereo, false)),
         {"--data", "--mono"},
         Mono16Of(stereo, 2, 2),
         Alloc(393216) + Progress(1001, 2000, 50) + PartialFrame + "\n" + Truncated + Ok},
        {"cut right after the header: no progress line",
         Wave(Fmt(1, 16) + RawChunk("data", 100, "")),
         {"--data"},
         "",
         Alloc(196608) + "\n" + Truncated + Ok},
        {"plain RIFF data sized 0xFFFFFFFF streams to the end of the file",
         Wave(Fmt(1, 16) + RawChunk("data", 0xFFFFFFFF, "abcd")),
         {"--data"},
         "abcd",
         Alloc(196608) + Progress(4, 4294967295, 0) + "\n" + Truncated + Ok},
    });
}

TEST(DataStreaming, FailedWriteIsReportedWithStatus1)
{
    const std::string one = NoiseBytes(1000, 6);
    const std::string two = NoiseBytes(196608 + 1000, 7);
    RunCases({
        {"last block",
         PcmFile(1, 16, one),
         {"--data"},
         "",
         Alloc(196608) + Progress(1000, 1000, 100) + DiskFull + "\n" + Ok,
         1,
         Stdout::DevFull},
        {"bytes remain: also incomplete",
         PcmFile(1, 16, two),
         {"--data"},
         "",
         Alloc(196608) + Progress(196608, 197608, 99) + DiskFull + "\n" + Truncated + Ok,
         1,
         Stdout::DevFull},
        {"mono",
         PcmFile(2, 16, one),
         {"--data", "--mono"},
         "",
         Alloc(393216) + Progress(1000, 1000, 100) + DiskFull + "\n" + Ok,
         1,
         Stdout::DevFull},
        {"summary text before the audio fails first: reported once",
         Wave(Fmt(1, 16) + Chunk("data", "abcd")),
         {"--chunks", "--data"},
         "",
         Alloc(196608) + Progress(4, 4, 100) + DiskFull + "\n" + Ok,
         1,
         Stdout::DevFull},
        {"dry run writes nothing, so nothing fails",
         PcmFile(1, 16, one),
         {"--data", "--dryrun"},
         "",
         Alloc(196608) + Progress(1000, 1000, 100) + "\n" + Ok,
         0,
         Stdout::DevFull},
    });
}

struct MixCase {
    std::string what;
    uint16_t channels;
    uint16_t bits;
    std::vector<int64_t> samples;
    std::vector<int64_t> mono;
    unsigned long buffer;
};

TEST(MonoStreaming, MixesEachFrameByTheRule)
{
    const std::vector<MixCase> mixes = {
        {"stereo 16-bit", 2, 16, {100, -301}, {-100}, 393216},
        {"24-bit contributions", 1, 24, {-1, 511}, {-1, 1}, 196608},
        {"32-bit contributions", 2, 32, {-1, -1, 65536, 131072}, {-1, 1}, 393216},
        {"odd frame count", 2, 16, {1, 3, 5, 7, -9, -10}, {2, 6, -9}, 393216},
        {"65,535 channels", 65535, 16, std::vector<int64_t>(65535, -32768), {-32768}, 2146926600},
    };
    std::vector<Case> cases;
    for (const MixCase& m : mixes) {
        const std::string audio = PCMSamples((m.bits + 7) / 8, m.samples);
        const std::string mono = PCMSamples(2, m.mono);
        cases.push_back({m.what,
                         PcmFile(m.channels, m.bits, audio),
                         {"--data", "--mono"},
                         mono,
                         Alloc(m.buffer) + Progress(audio.size(), audio.size(), 100) + "\n" + Ok});
    }
    const std::string dryAudio = PCMSamples(2, {100, -301});
    cases.push_back({"dry run mixes but writes nothing",
                     PcmFile(2, 16, dryAudio),
                     {"--data", "--mono", "--dryrun"},
                     "",
                     Alloc(393216) + Progress(4, 4, 100) + "\n" + Ok});
    RunCases(cases);
}

TEST(MonoStreaming, SeveralBlocksStayInFrame)
{
    const std::string stereo = NoiseBytes(2 * 393216 + 400, 8);
    const std::string wide = NoiseBytes(100000 * 10, 9); // 40-bit stereo: 10-byte frames
    RunCases({
        {"16-bit stereo over three blocks",
         PcmFile(2, 16, stereo),
         {"--data", "--mono"},
         Mono16Of(stereo, 2, 2),
         Alloc(393216) + Progress(393216, 786832, 49) + Progress(786432, 786832, 99) +
             Progress(786832, 786832, 100) + "\n" + Ok},
        // 393,216 is no multiple of 10: blocks of 393,210 keep every block in frame.
        {"5-byte samples read in whole frames",
         PcmFile(2, 40, wide),
         {"--data", "--mono"},
         Mono16Of(wide, 5, 2),
         Alloc(393216) + Progress(393210, 1000000, 39) + Progress(786420, 1000000, 78) +
             Progress(1000000, 1000000, 100) + "\n" + Ok},
    });
}

TEST(MonoStreaming, FormatsThatCannotBeMixedStopWithStatus1)
{
    const std::string data = Chunk("data", PCMSamples(2, {1, 2}));
    const std::string floatExt = Chunk("fmt ", ExtensibleBody(2, 48000, 32, 3, 3));
    const std::string notPCM =
        "sondrel: Error: Only PCM samples can be converted to mono (format 0x%s not supported)\n";
    auto refused = [&](const char* hex) {
        std::string s = notPCM;
        return s.replace(s.find("%s"), 2, hex);
    };
    std::vector<Case> cases = {
        {"data before fmt",
         Wave(data + Fmt(2, 16)),
         {},
         "",
         "sondrel: Error: Unknown number of channels\n"},
        {"float tag", Wave(Fmt(2, 32, 3) + data), {}, "", refused("0003")},
        {"MPEG tag", Wave(Fmt(2, 0, 0x50) + data), {}, "", refused("0050")},
        {"8-bit PCM",
         Wave(Fmt(2, 8) + data),
         {},
         "",
         "sondrel: Error: Cannot convert 8-bit samples to mono\n"},
        {"extensible float", Wave(floatExt + data), {}, "", refused("0003")},
        {"extensible sub-format compared as a whole 32-bit group",
         Wave(Chunk("fmt ", ExtensibleBody(2, 48000, 16, 3, 0x00010001)) + data),
         {},
         "",
         refused("0001")},
        {"extensible float is refused before the bits check",
         Wave(Chunk("fmt ", ExtensibleBody(2, 48000, 8, 3, 3)) + data),
         {},
         "",
         refused("0003")},
        {"extensible 8-bit integer PCM",
         Wave(Chunk("fmt ", ExtensibleBody(2, 48000, 8, 3, 1)) + data),
         {},
         "",
         "sondrel: Error: Cannot convert 8-bit samples to mono\n"},
    };
    for (Case& c : cases) {
        c.options = {"--data", "--mono"};
        c.status = 1;
    }
    RunCases(cases);
}

TEST(MonoStreaming, ExtensibleIntegerPCMIsMixed)
{
    const std::string audio = PCMSamples(3, {-256, 512});
    const std::string mono = PCMSamples(2, {0});
    const std::string shortExt = FmtBody(0xFFFE, 2, 48000, 24) + LE16(0);
    RunCases({
        {"integer sub-format",
         Wave(Chunk("fmt ", ExtensibleBody(2, 48000, 24, 3, 1)) + Chunk("data", audio)),
         {"--data", "--mono"},
         mono,
         Alloc(393216) + Progress(6, 6, 100) + "\n" + Ok},
        {"no extension: only the tag is known",
         Wave(Chunk("fmt ", shortExt) + Chunk("data", audio)),
         {"--data", "--mono"},
         mono,
         Alloc(393216) + Progress(6, 6, 100) + "\n" + Ok},
    });
}

// The buffer is channels x 196,608 bytes up to 10,922 channels, then the
// largest multiple of channels x 24 not above 2,147,352,576.
TEST(DataStreaming, BufferSizeIsBoundedForHugeChannelCounts)
{
    const std::pair<uint16_t, unsigned long> sizes[] = {
        {1, 196608},           {2, 393216},           {6, 1179648},
        {10922, 2147352576UL}, {10923, 2147287032UL}, {65535, 2146926600UL},
    };
    std::vector<Case> cases;
    for (const auto& [channels, bytes] : sizes)
        cases.push_back({std::to_string(channels) + " channels",
                         PcmFile(channels, 16, "abcd"),
                         {"--data", "--dryrun"},
                         "",
                         Alloc(bytes) + Progress(4, 4, 100) + "\n" + Ok});
    RunCases(cases);
}

} // namespace
