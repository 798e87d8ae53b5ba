// The command line: options, file choice, usage, version and exit statuses.
#include "run_tool.h"
#include "wav_builder.h"

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>

using namespace wavgen;
using namespace std::string_literals;

namespace
{

const char* const UsageAfterFirstLine = "\n"
                                        "Program to dump Broadcast WAV information\n"
                                        "\n"
                                        "Options:\n"
                                        "  --chunks     ... show summary of WAV chunks\n"
                                        "  --fmt        ... dump 'fmt' chunk in text format\n"
                                        "  --bext       ... dump 'bext' chunk in text format\n"
                                        "  --ixml       ... dump 'iXML' chunk in text format\n"
                                        "  --data       ... dump 'data' (audio) chunk to stdout "
                                        "in binary format\n"
                                        "  --mono       ... convert multi-channel data dump to "
                                        "16-bit mono PCM\n"
                                        "  --dryrun     ... dry run for --data streaming; nothing "
                                        "written to stdout\n"
                                        "\n"
                                        "Note that the --data option is only intended for "
                                        "redirecting raw audio data\n"
                                        "to a file or piping to another program. It should only "
                                        "be combined with the\n"
                                        "--mono option, which mixes multi-channel 16-bit or 24-bit "
                                        "PCM audio to mono\n"
                                        "16-bit PCM.\n"
                                        "\n";

const std::string SmallWave =
    Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", std::string(8, '\x01')));
const std::string SmallSummary = "Chunk [fmt ]           16 bytes\n"
                                 "Chunk [data]            8 bytes\n";

TEST(CommandLine, NoArgumentsPrintsUsageOnStandardErrorAndFails)
{
    RunResult r = RunSondrel({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string prefix = "sondrel version 0.05 [Build date ";
    ASSERT_TRUE(r.err.starts_with(prefix)) << r.err;
    // The build date as the compiler gives it: "Dec  7 2026".
    const std::string date = r.err.substr(prefix.size(), 11);
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const size_t month = months.find(date.substr(0, 3));
    EXPECT_TRUE(month != std::string::npos && month % 3 == 0) << date;
    EXPECT_TRUE(date[3] == ' ' && (date[4] == ' ' || isdigit(date[4])) && isdigit(date[5])) << date;
    EXPECT_TRUE(date[6] == ' ' && std::all_of(date.begin() + 7, date.end(), ::isdigit)) << date;
    EXPECT_EQ(r.err.substr(prefix.size() + 11, 2), "]\n");
    // The attribution line is free text; everything after it is fixed.
    const size_t attribution = prefix.size() + 13;
    const size_t rest = r.err.find('\n', attribution);
    ASSERT_NE(rest, std::string::npos);
    EXPECT_GT(rest, attribution);
    EXPECT_EQ(r.err.substr(rest + 1), UsageAfterFirstLine);
}

TEST(CommandLine, VersionIsWrittenToStandardOutputAndStopsTheArguments)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"--version", "--bogus"}, {"--chunks", "--version", "nofile"}}) {
        RunResult r = RunSondrel(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("sondrel version 0.05")) << r.out;
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line only";
        EXPECT_EQ(r.err, "");
    }
}

// Like --version, --help stops the arguments where it stands.
TEST(CommandLine, HelpListsEveryOptionOnStandardOutput)
{
    const RunResult help = RunSondrel({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* entry :
         {"--chunks ", "--fmt ", "--bext ", "--ixml ", "--data ", "--mono ", "--dryrun ",
          "--rawchunks ", "--json ", "--md5 ", "--loudness ", "--recursive ", "--files-from LIST ",
          "-0 ", "-- ", "--repair [--md5] [--audio-to-end] IN OUT\n",
          "--embed [--md5] [--loudness] [--replace] FILE...\n",
          "--version ", "-h, --help "})
        EXPECT_NE(help.out.find("\n  "s + entry), std::string::npos) << entry;
    for (const auto& args : std::vector<std::vector<std::string>>{{"-h"},
                                                                  {"--fmt", "--help", "--bogus"},
                                                                  {"--json", "-h", "--chunks"},
                                                                  {"--bogus", "-h"}}) {
        const RunResult r = RunSondrel(args);
        EXPECT_EQ(r.out, args[0] == "--bogus" ? "" : help.out) << args[0];
        EXPECT_EQ(r.err, args[0] == "--bogus" ? "Unknown option '--bogus'\n" : "") << args[0];
        EXPECT_EQ(r.status, args[0] == "--bogus" ? 1 : 0) << args[0];
    }
}

struct ArgumentFault {
    const char* name;
    std::vector<std::string> args;
    const char* err;
};

TEST(CommandLine, ArgumentFaultsStopBeforeAnyFileIsExamined)
{
    TempDir dir;
    std::string file = dir.Write("a.wav", SmallWave);
    const ArgumentFault cases[] = {
        {"lone dash", {file, "-"}, "Unknown option '-'\n"},
        {"dash file name", {"-a.wav"}, "Unknown option '-a.wav'\n"},
        {"options are case-sensitive", {"--Chunks", file}, "Unknown option '--Chunks'\n"},
        {"no prefix matching", {"--chunk", file}, "Unknown option '--chunk'\n"},
        {"unknown before version", {"--nope", "--version"}, "Unknown option '--nope'\n"},
    };
    for (const auto& c : cases) {
        RunResult r = RunSondrel(c.args);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

struct FileChoice {
    const char* name;
    std::vector<std::string> args; // "GOOD" and "BAD" stand for the two files
    const char* out;
    const char* err;
    int status;
};

TEST(CommandLine, FileChoiceAndDefaultSummary)
{
    TempDir dir;
    std::string good = dir.Write("good.wav", SmallWave);
    std::string bad = dir.Write("bad.wav", "not a wave file at all");
    const FileChoice cases[] = {
        {"bare file lists chunks", {"GOOD"}, SmallSummary.c_str(), "+OK\n", 0},
        {"last file wins", {"BAD", "GOOD"}, SmallSummary.c_str(), "+OK\n", 0},
        {"last file wins over a good one",
         {"GOOD", "BAD"},
         "",
         "sondrel: Error: Not a WAVE file\n+OK\n",
         1},
        {"option after the file", {"GOOD", "--chunks"}, SmallSummary.c_str(), "+OK\n", 0},
        {"repeated option", {"--chunks", "GOOD", "--chunks"}, SmallSummary.c_str(), "+OK\n", 0},
        {"any option suppresses the summary", {"--mono", "GOOD"}, "", "+OK\n", 0},
        {"dry run alone writes nothing", {"GOOD", "--dryrun"}, "", "+OK\n", 0},
        {"no file named", {"--chunks"}, "", "sondrel: Error: No audio file specified\n", 1},
        {"empty argument is a file name",
         {"GOOD", ""},
         "",
         "Can't open file for reading: No such file or directory\n+OK\n",
         1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(a == "GOOD" ? good : a == "BAD" ? bad : a);
        RunResult r = RunSondrel(args);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
    }
}

TEST(CommandLine, UnwritableStandardOutputIsAFailure)
{
    TempDir dir;
    std::string good = dir.Write("good.wav", SmallWave);
    RunResult r = RunSondrel({good}, Stdout::DevFull);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "+OK\nWriting output file: No space left on device\n");
    r = RunSondrel({"--version"}, Stdout::DevFull);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Writing output file: No space left on device\n");
}

} // namespace
