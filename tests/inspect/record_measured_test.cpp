// The inspector's --md5 and --loudness against what files claim, and its
// progress line on a terminal.
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace wavgen;
using Json = nlohmann::ordered_json;

namespace
{

const std::string Fmt16 = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Data400 = Chunk("data", std::string(400, '\x11'));

// A 5 s stereo 1 kHz tone at -23 dBFS reads -23 LUFS; bext v2 holds `stored`
// loudness values (hundredths) before it.
std::string ToneWithStoredLoudness(const std::vector<int16_t>& stored, bool withBext = true)
{
    const double freqs[] = {1000, 1000};
    const std::string pcm = SinePCM(48000, 24, 48000 * 5, freqs, 2, std::pow(10.0, -23.0 / 20));
    BextFields b;
    b.version = 2;
    std::string bext = BextBody(b);
    for (size_t i = 0; i < stored.size(); i++)
        bext.replace(412 + 2 * i, 2, LE16(static_cast<uint16_t>(stored[i])));
    return Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 24)) + (withBext ? Chunk("bext", bext) : "") +
                Chunk("data", pcm));
}

constexpr int16_t Unset = 0x7FFF;

TEST(InspectMeasured, Md5AndLoudnessAgainstWhatTheFileClaims)
{
    const std::string audio(400, 'a');
    const std::string right = DigestBytes(Md5Hex(audio));
    std::string wrong = right;
    wrong[0] = static_cast<char>(wrong[0] ^ 1);
    struct Case {
        std::string name;
        std::string file;
        std::vector<std::string> options;
        std::vector<std::string> codes;
        int status;
    };
    const std::string data = Chunk("data", audio);
    const std::vector<Case> cases = {
        {"md5_matches", Wave(Fmt16 + data + Chunk("MD5 ", right)), {"--md5"}, {}, 0},
        {"md5_mismatch", Wave(Fmt16 + data + Chunk("MD5 ", wrong)), {"--md5"}, {"md5-mismatch"}, 1},
        {"md5_not_compared_without_option", Wave(Fmt16 + data + Chunk("MD5 ", wrong)), {}, {}, 0},
        {"md5_chunk_of_wrong_size_never_compared",
         Wave(Fmt16 + data + Chunk("MD5 ", wrong + "x")),
         {"--md5"},
         {"md5-chunk-invalid"},
         0},
        {"loudness_matches",
         ToneWithStoredLoudness({-2300, Unset, Unset, Unset, Unset}),
         {"--loudness"},
         {"not-extensible"},
         0},
        {"loudness_mismatch",
         ToneWithStoredLoudness({-1000, Unset, Unset, Unset, Unset}),
         {"--loudness"},
         {"not-extensible", "loudness-mismatch"},
         0},
        {"all_zero_stored_loudness_not_compared",
         ToneWithStoredLoudness({0, 0, 0, 0, 0}),
         {"--loudness"},
         {"not-extensible", "bext-loudness-zero"},
         0},
        {"compressed_audio_unmeasurable",
         Wave(Chunk("fmt ", FmtBody(0x0050, 2, 48000, 0)) + data),
         {"--loudness", "--md5"},
         {"loudness-unmeasurable"},
         0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(dir.Write(c.name + ".wav", c.file));
        const RunResult run = RunSondrel(args);
        EXPECT_EQ(run.status, c.status);
        const std::vector<Json> records = ParseRecords(run.out);
        ASSERT_EQ(records.size(), 1u);
        ExpectRecordShape(records[0]);
        std::vector<std::string> codes;
        for (const Json& f : records[0]["findings"])
            codes.push_back(f["code"]);
        EXPECT_EQ(codes, c.codes);
        const bool md5 = std::find(c.options.begin(), c.options.end(), "--md5") != c.options.end();
        EXPECT_EQ(records[0]["md5"]["computed"].is_string(), md5);
    }
}

TEST(InspectMeasured, ToneReadsItsLevel)
{
    TempDir dir;
    const Json r =
        InspectOne(dir.Write("tone.wav", ToneWithStoredLoudness({}, false)), {"--loudness"});
    ASSERT_FALSE(r.is_null());
    const Json& l = r["loudness_measured"];
    EXPECT_NEAR(l["integrated_lufs"].get<double>(), -23.0, 0.1);
    EXPECT_NEAR(l["max_true_peak_dbtp"].get<double>(), -23.0, 0.2);
    EXPECT_NEAR(l["max_short_term_lufs"].get<double>(), -23.0, 0.1);
    EXPECT_NEAR(l["range_lu"].get<double>(), 0.0, 0.5);
}

} // namespace

namespace
{

// Runs sondrel with standard error on a terminal (a pseudo-terminal here) and
// standard output in a file; returns what the terminal showed.
std::string StandardErrorOnTerminal(const std::vector<std::string>& args, const std::string& out)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "no terminal";
    const pid_t pid = fork();
    if (pid == 0) {
        const int slave = open(ptsname(master), O_RDWR);
        const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(slave, STDERR_FILENO);
        dup2(file, STDOUT_FILENO);
        std::vector<char*> argv = {const_cast<char*>(SONDREL_BINARY)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(SONDREL_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string shown;
    char buffer[4096];
    fcntl(master, F_SETFL, O_NONBLOCK);
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<size_t>(got));
    close(master);
    return shown;
}

TEST(InspectProgress, DrawnOnATerminalOnly)
{
    TempDir dir;
    const std::string a = dir.Write("a.wav", Wave(Fmt16 + Data400));
    const std::string b = dir.Write("b.wav", Wave(Fmt16 + Data400));
    const std::string shown =
        StandardErrorOnTerminal({"--json", "--md5", a, b}, dir.path() + "/out.jsonl");
    // The first draw; the next within a tenth of a second are skipped.
    EXPECT_TRUE(shown.starts_with("\r\033[Ksondrel: " + a + ": 400 of 400 bytes\r\033[K")) << shown;
    // The line is cleared for the summary (the terminal turns "\n" into "\r\n").
    EXPECT_TRUE(shown.ends_with("\r\033[Ksondrel: 2 files: 2 clean, 0 with warnings, 0 with "
                                "errors, 0 unreadable\r\n"))
        << shown;
    EXPECT_EQ(ParseRecords(ReadWholeFile(dir.path() + "/out.jsonl")).size(), 2u);
}

} // namespace
