// --embed under faults, as databases test their commits: every case killed
// at each write-class system call in turn, and failed with ENOSPC or EIO at
// each write and flush.  After each run the file is a state that a prefix
// of the clean run's writes leaves (the original after a failure, which is
// undone), its audio intact and without error; a rerun after a kill gives
// exactly the finished file.  Then another writer changing the file under a
// run, which leaves it alone.
#include "crash_harness.h"
#include "embed_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace
{

struct Fault {
    std::string name;
    std::vector<std::string> syscalls;
    std::string action;
    size_t perWrite, more; // calls reached: per write of the plan, and besides
};

void PrintTo(const Fault& f, std::ostream* os)
{
    *os << f.name;
}

class EmbedFaults : public testing::TestWithParam<Fault>
{
};

struct Expected {
    std::vector<std::string> states; // the original first, the finished file last
    Json audio; // the original's audio.offset and bytes_in_file; null: it has an error
};

Json AudioWithoutError(const std::string& path)
{
    const Json record = InspectRecord(path, false);
    for (const Json& f : record["findings"])
        if (f["severity"] == "error")
            return nullptr;
    return record["audio"];
}

void Check(const EmbedCase& c, const std::string& path, const Expected& e, const InjectedRun& r)
{
    const std::string now = ReadWholeFile(path);
    const auto state = std::find(e.states.begin(), e.states.end(), now);
    EXPECT_NE(state, e.states.end()) << "not a prefix of the writes: " << r.run.out;
    if (!e.audio.is_null()) {
        const uint64_t at = e.audio["offset"];
        ExpectAudioIntact(path, at, e.states[0].substr(at, e.audio["bytes_in_file"]));
    }
    const bool unstarted = r.run.status == 127 || r.run.err.find("Sanitizer") != std::string::npos;
    if (r.killed) {
        EXPECT_EQ(RunSondrel(EmbedArgs(c, path)).status, ExitOf(c.status));
        EXPECT_TRUE(ReadWholeFile(path) == e.states.back()) << "a rerun did not finish the file";
    } else if (unstarted) {
        EXPECT_TRUE(now == e.states[0]); // the loader or the sanitizer runtime failed first
    } else if (!r.hit) {
        EXPECT_EQ(r.run.status, ExitOf(c.status)) << r.run.out;
        EXPECT_TRUE(now == e.states.back());
    } else {
        EXPECT_EQ(r.run.status, 2) << r.run.out;
        // Only a failed JSON line comes after the file is finished.
        const bool undone = r.injection.syscall != "write";
        EXPECT_TRUE(now == (undone ? e.states[0] : e.states.back())) << r.run.out;
    }
}

TEST_P(EmbedFaults, EveryRunLeavesAPrefixOfThePlanAndARerunFinishesIt)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    for (const EmbedCase& c : EmbedCases()) {
        if (c.holder != Holder::None)
            continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        const std::vector<std::string> args = EmbedArgs(c, path);
        const std::vector<MadeWrite> writes = CleanRunWrites(args, path, c.file);
        EXPECT_EQ(writes.size(), c.writes.size()) << "the clean run made other writes";
        const Expected e{PrefixStates(c.file, writes), AudioWithoutError(path)};
        const InjectionPlan plan{GetParam().syscalls, GetParam().action, {}, args};
        const int hits = ForEachInjection(
            plan, [&] { wavgen::WriteFile(path, c.file); },
            [&](const InjectedRun& r) { Check(c, path, e, r); });
        // Each write and its flush, and the JSON line's write: no other.
        EXPECT_EQ(static_cast<size_t>(hits), GetParam().perWrite * writes.size() + GetParam().more);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AtEveryCall, EmbedFaults,
    testing::Values(Fault{"killed",
                          {"pwrite64", "fsync", "fdatasync", "ftruncate", "write"},
                          "signal=KILL",
                          2,
                          1},
                    Fault{"disk_full", {"pwrite64", "write"}, "error=ENOSPC", 1, 1},
                    Fault{"io_error", {"pwrite64", "fsync"}, "error=EIO", 2, 0}),
    [](const testing::TestParamInfo<Fault>& f) { return f.param.name; });

const EmbedCase& Named(const std::string& what)
{
    static const std::vector<EmbedCase> cases = EmbedCases();
    return *std::find_if(cases.begin(), cases.end(),
                         [&](const EmbedCase& c) { return c.what == what; });
}

// The number of the first call of `syscall` in a run whose line matches
// `pattern` (strace counts each call, from 1).
int CallNumber(const std::vector<std::string>& args, const std::string& syscall,
               const std::regex& pattern)
{
    TempDir dir;
    std::vector<std::string> command = {
        "strace", "-qq", "-o", dir.path() + "/trace", "-e", "trace=" + syscall, SONDREL_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    RunCommand(command, Stdout::DevNull, {"ASAN_OPTIONS=detect_leaks=0"});
    std::istringstream lines(ReadWholeFile(dir.path() + "/trace"));
    int n = 1;
    for (std::string line; std::getline(lines, line); n++)
        if (std::regex_search(line, pattern))
            return n;
    return 0;
}

// Another program writes a byte at `at` while the run waits two seconds in
// a call of `syscall` (the first, or the first that reads the audio): the
// run sees it and leaves the file as the other program made it.
struct ChangeCase {
    std::string what, embedCase, syscall;
    bool inAudio; // `at` from the audio's offset, and the call the first to read it
    uint64_t at;
    std::string reason;
};

// Waits until the trace shows `count` calls of `syscall`, and a clock tick
// more, then writes a byte at `at` of `path`.
void ChangeWhileWaiting(const std::string& trace, const std::string& syscall, int count,
                        const std::string& path, uint64_t at)
{
    const std::string opened = syscall + "(";
    for (int i = 0; i < 400; i++) {
        const std::string t = ReadWholeFile(trace);
        int calls = 0;
        for (size_t p = t.find(opened); p != std::string::npos; p = t.find(opened, p + 1))
            calls++;
        if (calls >= count)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, "\x55", 1, static_cast<off_t>(at)), 1);
    close(fd);
}

TEST(EmbedChanged, AnotherWritersChangeIsNeverWrittenOver)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    const std::vector<ChangeCase> cases = {
        {"the audio, while it is measured", "bext version 2 with values never measured", "pread64",
         true, 1000, "The file changed between its measurement and the write"},
        {"a filler, while the appended chunks wait for the RIFF size",
         "a filler too small: both appended", "pwrite64", false, 12 + 24 + 8 + 3,
         "The file changed while it was written; what was written is undone"},
    };
    for (const ChangeCase& k : cases) {
        SCOPED_TRACE(k.what);
        const EmbedCase& c = Named(k.embedCase);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file), trace = dir.path() + "/trace";
        const uint64_t audioAt = InspectRecord(path, false)["audio"]["offset"];
        const uint64_t at = k.at + (k.inAudio ? audioAt : 0);
        const std::vector<std::string> args = EmbedArgs(c, path);
        const int when = CallNumber(
            args, k.syscall,
            std::regex(k.inAudio ? ", " + std::to_string(audioAt) + "\\) = " : k.syscall + "\\("));
        ASSERT_GT(when, 0);
        wavgen::WriteFile(path, c.file); // as it was before the counting run
        std::vector<std::string> command = {"strace",
                                            "-f",
                                            "-qq",
                                            "-o",
                                            trace,
                                            "-e",
                                            "trace=" + k.syscall,
                                            "-e",
                                            "inject=" + k.syscall +
                                                ":delay_enter=2000000:when=" + std::to_string(when),
                                            SONDREL_BINARY};
        command.insert(command.end(), args.begin(), args.end());
        std::thread other(ChangeWhileWaiting, trace, k.syscall, when, path, at);
        const RunResult r = RunCommand(command, Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"});
        other.join();
        EXPECT_EQ(r.status, 1);
        const Json line = ParseLine(r.out);
        EXPECT_EQ(line["status"], "refused");
        EXPECT_EQ(line["reason"], k.reason);
        std::string expected = c.file;
        expected[at] = '\x55';
        EXPECT_TRUE(ReadWholeFile(path) == expected);
    }
}

} // namespace
