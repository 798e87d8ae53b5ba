// --repair: every defect it mends, on files built with it and cut at many
// points; what it keeps byte for byte; refusals; a sparse recording past
// 4 GiB; independent readers of the repaired files.
#include "repair_checks.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16)); // 4-byte frames
const std::string Audio = NoiseBytes(4000, 7);
const std::string Data = Chunk("data", Audio);
const std::string Info = Chunk("LIST", "INFO" + Chunk("INAM", "Harbour, take 3"));
const std::string Bext = [] {
    BextFields b;
    b.description = "Scene 12A";
    b.codingHistory = "A=PCM,F=48000\r\n"; // an odd body: the pad byte follows
    return Chunk("bext", BextBody(b));
}();

std::string WithRiffSize(std::string file, uint32_t size)
{
    file.replace(4, 4, LE32(size));
    return file;
}

std::string Frames(size_t bytes)
{
    return Audio.substr(0, bytes);
}

// A case that keeps fmt and the data chunk unless told otherwise.
RepairCase Mends(std::string what, std::string in, std::string audio = Audio,
                 std::vector<std::string> dropped = {},
                 std::vector<std::string> kept = {Fmt, DataMark}, std::string container = "RIFF")
{
    return {std::move(what),  std::move(in),      std::move(kept),
            std::move(audio), std::move(dropped), std::move(container)};
}

std::vector<RepairCase> DefectCases()
{
    const std::string fmt8 = Chunk("fmt ", FmtBody(1, 1, 8000, 8)), odd = NoiseBytes(401, 3);
    const std::string fmt6 = Chunk("fmt ", ExtensibleBody(6, 48000, 24, 0x3F));
    const std::string six = NoiseBytes(18 * 100 + 10, 5), fact = Chunk("fact", LE32(5000));
    const std::string ulaw = Chunk("fmt ", FmtBody(7, 1, 8000, 8));
    const std::string floats = Chunk("fmt ", FmtBody(3, 2, 48000, 32));
    const std::string ds64 = Chunk("ds64", Ds64Body(0, 4000, 1000));
    const std::string unsized = RawChunk("data", 0xFFFFFFFF, Audio);
    std::vector<RepairCase> cases = {
        Mends("unfinalised: data and RIFF sizes 0",
              WithRiffSize(Wave(Fmt + Bext + RawChunk("data", 0, Audio)), 0), Audio, {},
              {Fmt, Bext, DataMark}),
        Mends("unfinalised from a pipe: sizes 0xFFFFFFFF",
              WithRiffSize(Wave(Fmt + unsized), 0xFFFFFFFF)),
        Mends("recording cut short inside a frame",
              Wave(Fmt + RawChunk("data", 4000, Frames(2002))), Frames(2000), {"partial frame"}),
        Mends("a partial frame in a complete data chunk",
              Wave(Fmt + Chunk("data", Audio + "\x01\x02") + Info), Audio, {"partial frame"},
              {Fmt, DataMark, Info}),
        Mends("odd audio without its pad byte", Wave(fmt8 + RawChunk("data", 401, odd, false)), odd,
              {}, {fmt8, DataMark}),
        Mends("an odd metadata chunk without its pad byte at the end",
              Wave(Fmt + Data + RawChunk("note", 5, "abcde", false)), Audio, {},
              {Fmt, DataMark, Chunk("note", "abcde")}),
        Mends("RIFF size wrong", WithRiffSize(Wave(Fmt + Data + Info), 1234), Audio, {},
              {Fmt, DataMark, Info}),
        Mends("two files concatenated", Wave(Fmt + Data) + Wave(Fmt + Chunk("data", odd)), Audio,
              {"another file"}),
        Mends("metadata cut short after the audio",
              Wave(Fmt + Data + RawChunk("LIST", 200, "INFOINAM" + LE32(30) + "Harbour")), Audio,
              {"\"LIST\" chunk cut short"}),
        Mends("RF64 whose data is sized 0xFFFFFFFF without ds64", Wave(Fmt + unsized, "RF64"),
              Audio, {}, {Fmt, DataMark}, "RF64"),
        Mends("RF64 with a chunk sized 0xFFFFFFFF that no ds64 sizes",
              Wave(Fmt + Data + RawChunk("LIST", 0xFFFFFFFF, "INFOjunk"), "RF64"), Audio,
              {"\"LIST\" chunk of unknown size"}, {Fmt, DataMark}, "RF64"),
        Mends("RF64 with a chunk its ds64 table sizes, ds64 after fmt",
              Wave(Fmt +
                       Chunk("ds64",
                             Ds64Body(0, 4000, 1000).replace(24, 4, LE32(1)) + "LIST" + LE64(12)) +
                       Data + RawChunk("LIST", 0xFFFFFFFF, "INFOINAM" + LE32(0)),
                   "RF64"),
              Audio, {}, {Fmt, DataMark, RawChunk("LIST", 0xFFFFFFFF, "INFOINAM" + LE32(0))},
              "RF64"),
        Mends("RF64 with its ds64 after fmt", Wave(Fmt + ds64 + unsized, "RF64"), Audio, {},
              {Fmt, DataMark}, "RF64"),
        Mends("BW64 cut short inside a frame",
              Wave(ds64 + Fmt + RawChunk("data", 0xFFFFFFFF, Frames(3001)), "BW64"), Frames(3000),
              {"partial frame"}, {Fmt, DataMark}, "BW64"),
        Mends("a fact count that no longer matches is kept",
              WithRiffSize(Wave(Fmt + fact + RawChunk("data", 0, Audio)), 0), Audio, {},
              {Fmt, fact, DataMark}),
        Mends("24-bit 6-channel extensible cut inside a frame",
              Wave(fmt6 + RawChunk("data", 18 * 200, six)), six.substr(0, 1800), {"partial frame"},
              {fmt6, DataMark}),
        Mends("mu-law unfinalised, odd",
              WithRiffSize(Wave(ulaw + RawChunk("data", 0, odd, false)), 0), odd, {},
              {ulaw, DataMark}),
        Mends("float unfinalised", WithRiffSize(Wave(floats + RawChunk("data", 0, Audio)), 0),
              Audio, {}, {floats, DataMark}),
    };
    // Junk after a complete file: not a chunk, fewer than 8 bytes, zero padding.
    for (const std::string& junk :
         {std::string("\x01\x02junk-junk\xFF"), "LIST" + LE32(1000) + "abc", std::string(5, '\0'),
          std::string(64, '\0')})
        cases.push_back(Mends("junk appended: " + std::to_string(junk.size()) + " bytes",
                              Wave(Fmt + Data) + junk, Audio, {"trailing bytes"}));
    RepairCase intact = Mends("intact, metadata after the audio", Wave(Fmt + Bext + Data + Info),
                              Audio, {}, {Fmt, Bext, DataMark, Info});
    RepairCase empty = Mends("an empty data chunk followed by a chunk",
                             Wave(Fmt + Chunk("data", "") + Info), "", {}, {Fmt, DataMark, Info});
    intact.status = empty.status = "unchanged";
    cases.push_back(intact);
    cases.push_back(empty);
    return cases;
}

TEST(Repair, MendsEveryDefectKeepingEveryOtherByte)
{
    for (const RepairCase& c : DefectCases()) {
        SCOPED_TRACE(c.what);
        ExpectRepaired(c);
    }
}

// The file cut inside the header, the fmt and bext chunks, the data header,
// the audio (at and between frames) and the LIST chunk after it.
TEST(Repair, CutAnywhereKeepsTheWholeFramesAndTheChunksBefore)
{
    const std::string whole = Wave(Fmt + Bext + Data + Info);
    const size_t audioAt = 12 + Fmt.size() + Bext.size() + 8;
    const size_t listAt = audioAt + Audio.size();
    std::vector<size_t> cuts = {0, 5, 11, 12, 20, 35, 36, 40, 300, audioAt - 1, audioAt};
    for (size_t at : {audioAt, audioAt + 2000, listAt, listAt + 8})
        for (size_t d = 1; d <= 4; d++)
            cuts.push_back(at + d);
    cuts.push_back(whole.size() - 1);
    cuts.push_back(whole.size());
    for (size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::string in = whole.substr(0, cut);
        const size_t audio = std::min(cut, listAt) - std::min(cut, audioAt);
        if (audio < 4) {
            ExpectRefused({"cut", in, 1, "refused"});
            continue;
        }
        RepairCase c{"cut", in, {Fmt, Bext, DataMark}, Frames(audio / 4 * 4)};
        if (cut == whole.size())
            c.status = "unchanged";
        if (audio % 4 != 0)
            c.dropped.push_back("partial frame");
        if (cut == whole.size())
            c.kept.push_back(Info);
        else if (cut > listAt)
            c.dropped.push_back(cut - listAt < 8 ? "trailing bytes" : "\"LIST\" chunk cut short");
        ExpectRepaired(c);
    }
}

TEST(Repair, RefusesWhatItCannotMendAndWritesNothing)
{
    const std::string badAlign = Chunk("fmt ", FmtBody(1, 2, 48000, 16).replace(12, 2, LE16(3)));
    const std::vector<RefusalCase> cases = {
        {"no fmt chunk", Wave(Data), 1, "refused"},
        {"not a WAVE file", "RIFF" + LE32(4) + "AVI ", 1, "refused"},
        {"a text file", "just some notes\n", 1, "refused"},
        {"MPEG audio", Wave(Chunk("fmt ", FmtBody(0x50, 2, 48000, 0)) + Data), 1, "refused"},
        {"block align that does not match", Wave(badAlign + Data), 1, "refused"},
        {"no data chunk", Wave(Fmt + Info), 1, "refused"},
        {"fmt cut short", Wave(Fmt).substr(0, 30), 1, "refused"},
        {"OUT exists", Wave(Fmt + Data), 2, "error", OutIs::Existing},
        {"OUT is IN", Wave(Fmt + Data), 2, "error", OutIs::Input},
        {"OUT's folder does not exist", Wave(Fmt + Data), 2, "error", OutIs::InMissingFolder},
        {"IN does not exist", "", 2, "error", OutIs::New, InIs::Missing},
        {"IN is a folder", "", 2, "error", OutIs::New, InIs::Folder},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectRefused(c);
    }
}

TEST(Repair, UsageErrorsWriteNothing)
{
    TempDir dir;
    const std::string in = dir.Write("in.wav", Wave(Fmt + Data));
    const std::string out = dir.path() + "/out.wav";
    const std::string mixed = "sondrel: Error: --repair cannot be combined with ";
    const std::string count = "sondrel: Error: --repair needs an input file and an output file\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--repair", in}, count},
        {{"--repair", in, out, out + "2"}, count},
        {{"--repair", "--json", in, out}, mixed + "--json\n"},
        {{"--repair", "--chunks", in, out}, mixed + "--chunks\n"},
        {{"--data", "--repair", in, out}, mixed + "--data\n"},
        {{"--repair", "--loudness", in, out}, mixed + "--loudness\n"},
        {{"--repair", "--bogus", in, out}, "Unknown option '--bogus'\n"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args[1]);
        const RunResult r = RunSondrel(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
}

// An unfinalised recording of 4.5 GiB and half a frame, its audio a hole
// but for three marked spots (ftruncate: no disk used).
TEST(Repair, SparseRecordingPast4GiBBecomesRf64AndStaysSparse)
{
    TempDir dir;
    const std::string in =
        dir.Write("long.wav", WithRiffSize(Wave(Fmt + RawChunk("data", 0, "")), 0));
    const uint64_t audioAt = 44, audioBytes = (uint64_t{9} << 29) + 2;
    const std::vector<uint64_t> marks = {0, uint64_t{17} << 28, audioBytes - 4100};
    const std::string mark = NoiseBytes(4096, 11);
    const int fd = open(in.c_str(), O_WRONLY);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(audioAt + audioBytes)), 0);
    for (uint64_t m : marks)
        ASSERT_EQ(pwrite(fd, mark.data(), 4096, static_cast<off_t>(audioAt + m)), 4096);
    close(fd);
    const std::string out = dir.path() + "/out.wav";
    Json line = ParseLine(RunSondrel({"--repair", in, out}).out);
    EXPECT_EQ(line["status"], "repaired");
    Json rec = InspectRecord(out, false);
    EXPECT_EQ(rec["container"], "RF64");
    EXPECT_EQ(rec["chunks"][0]["id"], "ds64");
    EXPECT_EQ(rec["audio"]["bytes"], audioBytes - 2);
    EXPECT_EQ(rec["audio"]["frames"], (audioBytes - 2) / 4);
    EXPECT_EQ(line["dropped"],
              Json::parse(R"([{"offset":)" + std::to_string(audioAt + audioBytes - 2) +
                          R"(,"bytes":2,"what":"partial frame"}])"));
    struct stat st {
    };
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the holes were written out";
    const uint64_t outAudio = rec["audio"]["offset"];
    for (uint64_t m : marks)
        EXPECT_TRUE(ReadRange(out, outAudio + m, 4098) == mark + std::string(2, '\0'))
            << "audio differs at " << m;
    EXPECT_EQ(st.st_size, outAudio + audioBytes - 2);
    EXPECT_TRUE(Leftovers(dir, {"long.wav", "out.wav"}).empty());
}

TEST(Repair, IndependentReadersTakeTheRepairedFilesWithoutWarning)
{
    // Files the peers read cleanly when intact (none of them reads BW64).
    const std::vector<std::string> peerCases = {
        "unfinalised: data and RIFF sizes 0",
        "recording cut short inside a frame",
        "a partial frame in a complete data chunk",
        "junk appended: 13 bytes",
        "two files concatenated",
        "metadata cut short after the audio",
        "RF64 whose data is sized 0xFFFFFFFF without ds64",
        "RF64 with its ds64 after fmt",
        "24-bit 6-channel extensible cut inside a frame",
    };
    size_t checked = 0;
    for (const RepairCase& c : DefectCases()) {
        if (std::find(peerCases.begin(), peerCases.end(), c.what) == peerCases.end())
            continue;
        SCOPED_TRACE(c.what);
        checked += ExpectPeersRead(c);
    }
    if (checked == 0)
        GTEST_SKIP() << "no peer reader (ffprobe, sox, sndfile-info, mediainfo) is installed";
}

} // namespace
