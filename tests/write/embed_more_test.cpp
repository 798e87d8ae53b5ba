// --embed beside its table: another writer's change under a run, the
// command line, a RIFF file that would pass 4 GiB, independent readers of the
// embedded files.
#include "crash_harness.h"
#include "embed_cases.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace embedtable;
using namespace wavgen;

namespace
{

// Another program writes a byte while the run waits two seconds in a
// system call (strace delays it): the run sees the change and leaves the
// file as the other program made it.
TEST(Embed, AnotherWritersChangeIsNeverWrittenOver)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    struct Change {
        std::string embedCase, syscall;
        bool inAudio; // the first call reading the audio, `at` from its offset; or the first call
        uint64_t at;  // past the end: the other program appends a byte
        std::string reason;
        std::string delay = "delay_enter"; // delay_exit: the call made, the run waits after it
    };
    const std::string undone = "The file changed while it was written; what was written is undone";
    const std::vector<Change> changes = {
        {"bext version 2 never measured", "pread64", true, 1000,
         "The file changed between its measurement and the write"},
        {"a filler too small: both appended", "pwrite64", false, 47, undone}, // the JUNK's body
        // A change while a flush runs: the one after the last write too.
        {"a filler too small: both appended", "fsync", true, 1000, undone, "delay_exit"},
        {"bext version 2 never measured", "fsync", true, 1000, undone, "delay_exit"},
        // An append after this run's: its bytes cannot be cut off, and the line says so.
        {"a filler too small: both appended", "fsync", false, UINT64_MAX,
         undone + " but for the 634 bytes appended at offset ", "delay_exit"},
    };
    for (const Change& k : changes) {
        const EmbedCase& c = Named(k.embedCase);
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file), trace = dir.path() + "/t";
        const uint64_t audioAt = InspectRecord(path, false)["audio"]["offset"];
        const uint64_t at = k.at + (k.inAudio ? audioAt : 0);
        const std::string opened = k.syscall + "(";
        // The call's number from a first run: strace counts them from 1.
        Traced(c, path, trace, {"-e", "trace=" + k.syscall});
        WriteFile(path, c.file);
        std::string t = ReadWholeFile(trace);
        const bool audioRead = k.inAudio && k.syscall == "pread64";
        t.resize(t.find(audioRead ? ", " + std::to_string(audioAt) + ")" : opened));
        const auto when = 1 + std::count(t.begin(), t.end(), '\n');
        unlink(trace.c_str()); // the other program must wait for the next run's calls
        std::thread other([&] {
            for (int i = 0; i < 6000; i++) { // its line shows once the call waits
                t = ReadWholeFile(trace);
                size_t n = 0;
                for (size_t p = t.find(opened); p != std::string::npos; p = t.find(opened, p + 1))
                    n++;
                if (n >= size_t(when))
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a later clock tick
            const bool append = k.at == UINT64_MAX;
            const int fd = open(path.c_str(), O_WRONLY | (append ? O_APPEND : 0));
            EXPECT_EQ(append ? write(fd, "\x55", 1) : pwrite(fd, "\x55", 1, off_t(at)), 1);
            close(fd);
        });
        const RunResult r =
            Traced(c, path, trace,
                   {"-e", "trace=" + k.syscall, "-e",
                    "inject=" + k.syscall + ":" + k.delay + "=2000000:when=" + std::to_string(when)});
        other.join();
        EXPECT_EQ(r.status, 1);
        const std::string file = ReadWholeFile(path);
        if (k.at == UINT64_MAX) { // the original, what this run appended, the other's byte
            const std::string said = ParseLine(r.out)["reason"], where = std::to_string(c.file.size());
            EXPECT_EQ(said.substr(0, k.reason.size() + where.size()), k.reason + where);
            EXPECT_TRUE(file.substr(0, c.file.size()) == c.file && file.back() == '\x55');
            continue;
        }
        EXPECT_EQ(ParseLine(r.out)["reason"], k.reason);
        std::string expected = c.file;
        expected[at] = '\x55';
        EXPECT_TRUE(file == expected);
    }
}

TEST(Embed, UsageErrorsAndSeveralFiles)
{
    TempDir dir;
    const EmbedCase &good = Named("a filler of exactly the MD5's size"),
                    &refused = Named("a different MD5 is a mismatch, not overwritten");
    const std::string a = dir.Write("a.wav", good.file), b = dir.Write("b.wav", refused.file);
    const std::string mixed = "sondrel: Error: --embed cannot be combined with ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--embed", a}, "sondrel: Error: --embed needs --md5 or --loudness\n"},
        {{"--embed", "--md5"}, "sondrel: Error: No audio file specified\n"},
        {{"--embed", "--md5", "--json", a}, mixed + "--json\n"},
        {{"--embed", "--md5", "--recursive", a}, mixed + "--recursive\n"},
        {{"--embed", "--md5", "--repair", a, b}, mixed + "--repair\n"},
    };
    for (const auto& [args, message] : usage) {
        const RunResult r = RunSondrel(args);
        EXPECT_TRUE(r.status == 2 && r.out.empty()) << r.status << r.out;
        EXPECT_EQ(r.err, message);
    }
    EXPECT_TRUE(ReadWholeFile(a) == good.file && ReadWholeFile(b) == refused.file);
    // A line per file, in order; a file that cannot be opened (2) wins over a refusal (1).
    const RunResult r = RunSondrel({"--embed", "--md5", b, dir.path() + "/missing.wav", "--", a});
    EXPECT_EQ(r.status, 2);
    std::istringstream lines(r.out);
    std::string statuses;
    for (std::string line; std::getline(lines, line);)
        statuses += Json::parse(line)["status"].get<std::string>() + " ";
    EXPECT_EQ(statuses, "refused error embedded ");
}

// A plain RIFF file 22 bytes short of 4 GiB, all but its audio one hole:
// the MD5 chunk would end 2 bytes past it.
TEST(Embed, RefusesToTakeARiffFilePast4GiB)
{
    TempDir dir;
    const uint64_t length = 4294967274, hole = length - 4052;
    const std::string head =
        RiffSize0(Wave(Fmt)).replace(4, 4, LE32(length - 8)) + "free" + LE32(hole);
    const std::string path = dir.Write("long.wav", head), data = Chunk("data", NoiseBytes(4000, 3));
    const int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(head.size() + hole)), 4008);
    close(fd);
    const RunResult r = RunSondrel({"--embed", "--md5", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ParseLine(r.out)["reason"], "The file would pass 4 GiB, which a RIFF file cannot");
    EXPECT_TRUE(ReadRange(path, 0, head.size()) == head && ReadRange(path, length, 1).empty());
}

// The audio's MD5 by ffmpeg, no complaint of ffprobe, sox, libsndfile or
// mediainfo that the file did not get before, and the loudness as
// mediainfo and libsndfile show it (libsndfile shows 327.67 for unset).
TEST(Embed, IndependentReadersTakeTheEmbeddedFiles)
{
    if (RunCommand({"sh", "-c", "command -v ffmpeg sox sndfile-info mediainfo"}).status != 0)
        GTEST_SKIP() << "the peer readers are not all installed";
    const std::vector<std::string> complaints = {
        "ffmpeg -v error -i \"$0\" -map 0:a -c copy -f md5 - 2>&1",
        "ffprobe -v warning \"$0\" 2>&1", "sox -V2 \"$0\" -n 2>&1",
        // libsndfile names the chunks it does not know, the MD5 chunk among them.
        "sndfile-info \"$0\" | grep -E '\\*\\*\\*|should|arning|rror' | grep -v '^\\*\\*\\* MD5 '",
        "mediainfo '--Inform=General;%IsTruncated%' \"$0\""};
    const std::vector<std::string> shown = {
        "mediainfo '--Inform=Audio;%LoudnessValue%|%LoudnessRange%|%MaxTruePeakLevel%|"
        "%MaxMomentaryLoudness%|%MaxShortTermLoudness%' \"$0\" | tr '|' '\\n'",
        "for o in loudness-value loudness-range max-truepeak max-momentary max-shortterm; do "
        "sndfile-metadata-get --bext-$o \"$0\"; done | sed 's/.*: *//; s/^327.67$//'"};
    for (const EmbedCase& c : Cases()) {
        if (c.status != "embedded" || c.what.starts_with("RF64")) // sox reads no RF64
            continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        std::vector<std::string> said;
        for (const std::string& command : complaints)
            said.push_back(RunCommand({"sh", "-c", command, path}).out);
        ASSERT_EQ(RunSondrel(Args(c, path)).status, 0);
        for (size_t i = 0; i < complaints.size(); i++) {
            std::istringstream now(RunCommand({"sh", "-c", complaints[i], path}).out);
            for (std::string line; std::getline(now, line);)
                EXPECT_NE(said[i].find(line + "\n"), std::string::npos) << "new: " << line;
        }
        if (c.options.find("--loudness") == std::string::npos)
            continue;
        std::string stored;
        char value[32];
        Json record = InspectRecord(path, false);
        for (const auto& [key, v] : record["bext"]["loudness"].items())
            stored += v.is_null()
                          ? "\n"
                          : (snprintf(value, sizeof value, "%.2f\n", v.get<double>()), value);
        for (const std::string& command : shown)
            EXPECT_EQ(RunCommand({"sh", "-c", command, path}).out, stored) << command;
    }
}

} // namespace
