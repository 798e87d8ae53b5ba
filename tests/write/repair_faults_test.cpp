// --repair under faults: killed at every write, flush, rename and link;
// a write or flush that fails; the kernel copy, the hole search and the
// rename refused.  OUT is absent or whole, IN never changes, and no
// temporary file outlives the run (a killed run's goes with the next run).
#include "crash_harness.h"
#include "repair_checks.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include "write/durable.h"
#include "write/temporary_file.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

using namespace sondrel;

using namespace wavgen;

namespace
{

struct FaultCase {
    std::string what;
    InjectionPlan plan;
    std::optional<int> status = std::nullopt; // every run's, when the fault decides it
};

const std::vector<std::string> WriteCalls = {"ftruncate", "pwrite64",  "copy_file_range",
                                             "fsync",     "renameat2", "write"};

std::vector<FaultCase> FaultCases()
{
    std::vector<FaultCase> cases = {
        {"killed", {WriteCalls, "signal=KILL"}},
        {"killed on the link path",
         {{"linkat", "unlinkat", "fsync"}, "signal=KILL", {"renameat2:error=EINVAL"}}},
        {"disk full", {WriteCalls, "error=ENOSPC"}},
        {"I/O error", {{"pwrite64", "copy_file_range", "fsync", "pread64"}, "error=EIO"}},
        {"the name taken meanwhile", {{"renameat2"}, "error=EEXIST"}, 2},
        {"holes not reported", {{"lseek"}, "error=EINVAL"}, 0},
    };
    for (const char* e : {"EXDEV", "EINVAL", "ENOSYS", "EOPNOTSUPP"})
        cases.push_back({std::string("no kernel copy: ") + e,
                         {{"copy_file_range"}, std::string("error=") + e},
                         0});
    for (const char* e : {"EINVAL", "ENOSYS"})
        cases.push_back({std::string("no rename without replacing: ") + e,
                         {{"renameat2"}, std::string("error=") + e},
                         0});
    return cases;
}

TEST(RepairFaults, OutIsAbsentOrWholeAfterEveryKillAndFailure)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    const std::string fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
    const std::string in = Wave(fmt + RawChunk("data", 0, NoiseBytes(40002, 4))) +
                           Chunk("LIST", "INFOjunk past the end");
    TempDir refDir;
    const std::string ref = refDir.path() + "/ref.wav";
    ASSERT_EQ(RunSondrel({"--repair", refDir.Write("in.wav", in), ref}).status, 0);
    const std::string expected = ReadWholeFile(ref);

    TempDir dir;
    const std::string inPath = dir.Write("in.wav", in);
    const std::string out = dir.path() + "/out.wav";
    const auto prepare = [&] {
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename() != "in.wav")
                std::filesystem::remove(e.path());
    };
    for (FaultCase c : FaultCases()) {
        SCOPED_TRACE(c.what);
        c.plan.args = {"--repair", "--md5", inPath, out};
        const int hits = ForEachInjection(c.plan, prepare, [&](const InjectedRun& r) {
            EXPECT_EQ(ReadWholeFile(inPath), in) << "IN changed";
            const bool written = access(out.c_str(), F_OK) == 0;
            if (written) {
                EXPECT_TRUE(ReadWholeFile(out) == expected) << "OUT is not whole";
            }
            if (r.killed) {
                const int again = RunSondrel({"--repair", "--md5", inPath, out}).status;
                EXPECT_EQ(again, written ? 2 : 0);
                EXPECT_TRUE(ReadWholeFile(out) == expected);
            } else if (r.run.status == 127 || r.run.err.find("Sanitizer") != std::string::npos) {
                // The loader or the sanitizer runtime met the fault (it writes
                // to a pipe of its own): only OUT's wholeness counts then.
            } else {
                EXPECT_EQ(r.run.status, written && r.run.status == 0 ? 0 : 2) << r.run.out;
                if (c.status && r.hit) {
                    EXPECT_EQ(r.run.status, *c.status) << r.run.out;
                }
            }
            EXPECT_EQ(Leftovers(dir, {"in.wav", "out.wav"}), std::vector<std::string>{});
        });
        EXPECT_GT(hits, 0) << "no run reached the fault";
    }
}

// The folder's flush fails after OUT has its name: OUT is whole and named,
// so the repair stands; the line says the name may not survive a power loss.
TEST(RepairFaults, AFailedFolderFlushLeavesARepairedCopy)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    TempDir dir;
    const std::string in = dir.Write(
        "in.wav", Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + RawChunk("data", 0, NoiseBytes(4000, 2))));
    const std::string out = dir.path() + "/out.wav";
    // The second flush is the folder's: the first is the copy's own.
    const RunResult r = RunCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                    "inject=fsync:error=EIO:when=2", SONDREL_BINARY, "--repair",
                                    in, out},
                                   Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"});
    Json line = ParseLine(r.out);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(line["status"], "repaired");
    EXPECT_EQ(line["output"], out);
    EXPECT_NE(std::string(line["reason"].is_string() ? line["reason"] : "")
                  .find("the name may not survive a power loss"),
              std::string::npos);
    EXPECT_EQ(InspectRecord(out, false)["audio"]["bytes"], 4000);
}

// Only a killed run's file for the same name goes: not a live run's, not
// another name's, not a file of another pattern.
TEST(RepairFaults, StaleTemporariesOfKilledRunsAloneAreRemoved)
{
    TempDir dir;
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string dead = ".out.wav.sondrel-" + std::to_string(gone) + "-abc123";
    const std::vector<std::string> kept = {
        ".out.wav.sondrel-" + std::to_string(getppid()) + "-abc123", // alive
        ".other.wav.sondrel-" + std::to_string(gone) + "-abc123",    // another name
        ".out.wav.sondrel-" + std::to_string(gone) + "-abc12",       // not the pattern
        ".out.wav.sondrel-x" + std::to_string(gone) + "-abc123",
        "out.wav.sondrel-" + std::to_string(gone) + "-abc123",
    };
    dir.Write(dead, "stale");
    for (const std::string& name : kept)
        dir.Write(name, "keep");
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(RemoveStaleTemporaries(folder, "out.wav"), 1);
    close(folder);
    EXPECT_EQ(access((dir.path() + "/" + dead).c_str(), F_OK), -1);
    std::vector<std::string> left = Leftovers(dir, {});
    std::sort(left.begin(), left.end());
    std::vector<std::string> want = kept;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(left, want);
}

} // namespace
