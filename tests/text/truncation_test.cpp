// Every file cut at (nearly) every byte offset, under every option set: the
// walk never crashes or hangs, and --data writes exactly the audio bytes the
// cut file still holds.  Runs in-process so a dense sweep stays quick.
#include "cli/cli.h"
#include "facts.h"
#include "run_tool.h"
#include "text/options.h"
#include "walk_in_process.h"
#include "wav_builder.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/mman.h>
#include <unistd.h>

using namespace sondrel;

using namespace wavgen;

namespace
{

struct Target {
    std::string name;
    std::string bytes;
    uint64_t dataBody;  // offset of the "data" body
    uint64_t audioSize; // audio bytes the data chunk claims
};

// Option sets as a user would give them.
const std::vector<std::vector<const char*>> OptionSets = {
    {"--chunks"},
    {"--fmt", "--bext"},
    {"--ixml"},
    {"--data"},
    {"--data", "--mono"},
    {"--data", "--dryrun"},
    {"--rawchunks", "--chunks"},
};

// Runs the walk on `path` with standard output captured and standard error
// discarded; a fatal stop ends the run, not the test.
std::string RunInProcess(const std::vector<const char*>& options, const std::string& path)
{
    ResetRunState();
    TextOptions text;
    for (const char* option : options)
        EXPECT_TRUE(SetTextOption(text, option)) << option;
    return CaptureStdout([&] {
        FILE* savedErr = stderr;
        stderr = fopen("/dev/null", "w");
        WalkInProcess(path.c_str(), text);
        fclose(stderr);
        stderr = savedErr;
    });
}

// Every offset in small files; in larger ones every offset of the first and
// last 2 KiB, around each chunk boundary, and a dense spread in between.
std::vector<uint64_t> CutOffsets(const Target& t)
{
    const uint64_t size = t.bytes.size();
    std::vector<uint64_t> cuts;
    for (uint64_t at = 0; at <= size; at++) {
        const bool edge = at < 2048 || size - at < 2048 || size <= 8192;
        const bool nearData = at + 16 >= t.dataBody && at <= t.dataBody + 16;
        if (edge || nearData || at % 97 == 0)
            cuts.push_back(at);
    }
    return cuts;
}

void Sweep(const Target& t)
{
    SCOPED_TRACE(t.name);
    const int fd = memfd_create("sondrel-cut", 0);
    ASSERT_EQ(write(fd, t.bytes.data(), t.bytes.size()), static_cast<ssize_t>(t.bytes.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // A cut file's chunk list is the start of the whole file's.
    const std::string fullSummary = RunInProcess({"--chunks"}, path);
    std::vector<uint64_t> cuts = CutOffsets(t);
    // Longest first, so each cut only shortens the same file.
    for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
        const uint64_t cut = *it;
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(cut)), 0);
        for (const auto& options : OptionSets) {
            const std::string out = RunInProcess(options, path);
            if (options.size() == 1 && strcmp(options[0], "--chunks") == 0) {
                ASSERT_TRUE(fullSummary.starts_with(out)) << "cut at " << cut << ":\n" << out;
            }
            if (options.size() != 1 || strcmp(options[0], "--data") != 0)
                continue;
            std::string expected;
            if (cut >= t.dataBody) {
                const uint64_t end = std::min<uint64_t>(cut, t.dataBody + t.audioSize);
                expected = t.bytes.substr(t.dataBody, end - t.dataBody);
            }
            ASSERT_EQ(out.size(), expected.size()) << "cut at " << cut;
            ASSERT_TRUE(out == expected) << "cut at " << cut;
        }
    }
    close(fd);
}

std::vector<Target> FixtureTargets()
{
    std::vector<Target> targets;
    const Fixtures fixtures = LoadFixtures();
    for (const auto& f : fixtures.present) {
        Target t{f["file"], ReadWholeFile(FixturePath(f["file"].get<std::string>())), 0, 0};
        uint64_t ds64Size = 0;
        for (const auto& c : f["walker"]["chunks"]) {
            if (c.contains("ds64"))
                ds64Size = c["ds64"]["data_size"];
            if (c["id"] == "data") {
                t.dataBody = c["offset"].get<uint64_t>() + 8;
                const uint64_t field = c["size_field"];
                t.audioSize =
                    field == 0xFFFFFFFFu && f["walker"]["magic"] != "RIFF" ? ds64Size : field;
            }
        }
        targets.push_back(t);
    }
    return targets;
}

// Built files for what the fixtures lack: an odd ds64 size with a chunk after
// the audio, a five-byte sample format, and a data chunk before its format.
std::vector<Target> BuiltTargets()
{
    std::vector<Target> targets;
    const std::string audio = NoiseBytes(1001, 7);
    {
        std::string head = Chunk("ds64", Ds64Body(0, audio.size(), 0)) +
                           Chunk("fmt ", ExtensibleBody(1, 44100, 24, 4)) +
                           Chunk("bext", BextBody({"desc", "orig", "ref", "2026-01-02", "03:04:05",
                                                   7, 1, "", "A=PCM\r\n"}));
        std::string file =
            Wave(head + RawChunk("data", 0xFFFFFFFF, audio) + Chunk("iXML", "<x/>"), "RF64");
        targets.push_back({"rf64 odd ds64", file, 12 + head.size() + 8, audio.size()});
    }
    {
        std::string head = Chunk("fmt ", FmtBody(1, 3, 8000, 40));
        std::string file = Wave(head + Chunk("data", audio));
        targets.push_back({"five-byte samples", file, 12 + head.size() + 8, audio.size()});
    }
    {
        std::string file = Wave(Chunk("data", audio) + Chunk("fmt ", FmtBody(1, 2, 8000, 16)));
        targets.push_back({"data before fmt", file, 20, audio.size()});
    }
    return targets;
}

TEST(TruncationSweep, FixturesCutAnywhereStreamWhatTheyHold)
{
    for (const Target& t : FixtureTargets())
        Sweep(t);
}

TEST(TruncationSweep, BuiltFilesCutAnywhereStreamWhatTheyHold)
{
    for (const Target& t : BuiltTargets())
        Sweep(t);
}

} // namespace
