// --repair beside its table: a recording whose header was written once
// (Python's wave killed while writing), a kept MD5 that no longer matches,
// the copy's permissions, date and folder, and the writers' progress line.
#include "embed_cases.h"
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

// Python's wave module writes the header with the first frames' size and
// finalises it on close: killed in between, 243,243 more frames follow.
const char* const KilledRecording = R"(
import math, os, struct, sys, wave
w = wave.open(sys.argv[1], 'wb')
w.setnchannels(1); w.setsampwidth(2); w.setframerate(48000)
w.writeframesraw(struct.pack('<1001h', *range(1001)))
w._file.write(b''.join(struct.pack('<h', int(9000 * math.sin(i / 7))) for i in range(243243)))
w._file.flush()
os._exit(0)
)";

TEST(RepairMore, AudioToEndTakesEveryFrameOfARecordingWrittenOnce)
{
    TempDir dir;
    const std::string in = dir.path() + "/take.wav";
    if (RunCommand({"python3", "-c", KilledRecording, in}).status != 0)
        GTEST_SKIP() << "python3 cannot write the recording here";
    const std::string bytes = ReadWholeFile(in);
    struct Row {
        std::vector<std::string> options;
        uint64_t audio;
        std::vector<std::string> dropped;
    };
    for (const Row& row : {Row{{}, 2002, {"trailing bytes"}}, Row{{"--audio-to-end"}, 488488, {}}}) {
        std::vector<std::string> args = {"--repair"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        const std::string out = dir.path() + "/out" + std::to_string(row.audio) + ".wav";
        args.insert(args.end(), {in, out});
        Json line = ParseLine(RunSondrel(args).out);
        EXPECT_EQ(line["status"], "repaired");
        EXPECT_EQ(Column(line["dropped"], "what"), row.dropped);
        Json record = InspectRecord(out, false);
        EXPECT_EQ(record["audio"]["bytes"], row.audio);
        EXPECT_EQ(record["findings"], Json::array());
        EXPECT_TRUE(ReadWholeFile(out).substr(44) == bytes.substr(44, row.audio));
    }
    // A finalised file has no stray audio: --audio-to-end would take chunks for it.
    const std::string whole = dir.Write(
        "whole.wav", Wave(Chunk("fmt ", FmtBody(1, 1, 48000, 16)) + Chunk("data", "abcd") +
                          Chunk("LIST", "INFOINAM" + LE32(2) + "x")));
    const RunResult r = RunSondrel({"--repair", "--audio-to-end", whole, dir.path() + "/w.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ParseLine(r.out)["status"], "refused");
}

TEST(RepairMore, AKeptMd5ThatDiffersIsAMismatchAfter)
{
    TempDir dir;
    const std::string in = dir.Write(
        "cut.wav", Wave(embedtable::Fmt + Chunk("data", embedtable::Short) +
                        Chunk("MD5 ", embedtable::RawMd5(embedtable::Audio))));
    const RunResult r = RunSondrel({"--repair", "--md5", in, dir.path() + "/out.wav"});
    Json line = ParseLine(r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(line["status"], "unchanged");
    EXPECT_EQ(line["findings_after"], Json::array({"md5-mismatch"}));
}

TEST(RepairMore, TheCopyKeepsPermissionsAndDateAndMayGoIntoAFolder)
{
    TempDir dir;
    const std::string in = dir.Write("take.wav", Wave(embedtable::Fmt + embedtable::Data));
    ASSERT_EQ(chmod(in.c_str(), 0640), 0);
    const timespec times[2] = {{1600000000, 5}, {1600000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, in.c_str(), times, 0), 0);
    ASSERT_EQ(mkdir((dir.path() + "/copies").c_str(), 0755), 0);
    Json line = ParseLine(RunSondrel({"--repair", in, dir.path() + "/copies"}).out);
    const std::string out = dir.path() + "/copies/take.wav";
    EXPECT_EQ(line["output"], out);
    struct stat st {
    };
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
}

TEST(RepairMore, TheWritersDrawProgressOnATerminalOnly)
{
    TempDir dir;
    const std::string in = dir.Write("take.wav", Wave(embedtable::Fmt + embedtable::Data));
    Surroundings terminal;
    terminal.errTerminal = true;
    for (const bool onTerminal : {true, false}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--repair", "--md5", in, dir.path() + "/o.wav"},
              std::vector<std::string>{"--embed", "--md5", in}}) {
            unlink((dir.path() + "/o.wav").c_str());
            const RunResult r =
                RunSondrel(args, Stdout::Capture, {}, onTerminal ? terminal : Surroundings{});
            EXPECT_EQ(r.status, 0) << r.out;
            const std::string drawn = "\r\033[Ksondrel: " + in + ": ";
            EXPECT_EQ(r.err.find(drawn) != std::string::npos, onTerminal) << args[0];
            EXPECT_TRUE(!onTerminal || r.err.ends_with("\r\033[K")) << "the line is erased";
        }
    }
}

} // namespace
