// --embed, one table of cases: what each run writes and leaves alone; each
// case killed, and failed with ENOSPC and EIO, at every write and flush in
// turn, as databases test their commits.
#include "crash_harness.h"
#include "embed_cases.h"
#include "repair_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include "write/durable.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace sondrel;
using namespace embedtable;
using namespace wavgen;

namespace
{
// No error finding, and the audio at `audio`'s offset is `original`'s.
void ExpectAudioIntact(const std::string& path, const Json& audio, const std::string& original)
{
    Json record = InspectRecord(path, false);
    for (const Json& f : record["findings"])
        EXPECT_NE(f["severity"], "error") << f.dump();
    EXPECT_EQ(record["audio"], audio);
    const uint64_t at = audio["offset"], bytes = audio["bytes_in_file"];
    EXPECT_TRUE(ReadRange(path, at, bytes) == original.substr(at, bytes)) << "the audio changed";
}

void ExpectEmbedded(const EmbedCase& c, const std::string& path, Json before,
                    Json line)
{
    Json after = ParseLine(RunSondrel(Args(c, path, "--json")).out);
    EXPECT_EQ(line["findings_after"], Json(Column(after["findings"], "code")));
    ExpectAudioIntact(path, before["audio"], c.file);
    EXPECT_EQ(line["audio"]["bytes"], before["audio"]["bytes_in_file"]);
    EXPECT_TRUE(c.options.find("--md5") == std::string::npos ||
                (after["md5"]["stored"] == line["md5"] && line["md5"] == after["md5"]["computed"]));
    if (c.options.find("--loudness") != std::string::npos) {
        EXPECT_EQ(after["bext"]["version"], 2);
        EXPECT_EQ(line["loudness"], after["bext"]["loudness"]); // what was written
        for (const auto& [key, stored] : after["bext"]["loudness"].items()) {
            const Json& measured = after["loudness_measured"][key];
            EXPECT_TRUE(stored == measured ||
                        (stored.is_null() && std::abs(double(measured)) > 327))
                << key;
        }
        for (const char* kept : {"description", "origination_date", "umid", "coding_history"})
            EXPECT_TRUE(before["bext"].is_null() || after["bext"][kept] == before["bext"][kept]);
    }
    for (const Json& chunk : before["chunks"]) { // fillers may give way
        const bool kept = std::count(after["chunks"].begin(), after["chunks"].end(), chunk) > 0;
        const Json& id = chunk["id"];
        EXPECT_TRUE(kept || id == "JUNK" || id == "PAD " || id == "FLLR") << chunk.dump();
    }
    const std::string written = ReadWholeFile(path);
    EXPECT_EQ(ParseLine(RunSondrel(Args(c, path)).out)["status"], "unchanged");
    EXPECT_TRUE(ReadWholeFile(path) == written) << "a second run changed the file";
}

TEST(Embed, WritesOnlyWhatIsMissingAndRefusesWhatItCannotDoSafely)
{
    const std::string keys = "path mode status reason output findings_before findings_after "
                             "writes dropped audio md5 loudness ";
    for (const EmbedCase& c : Cases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        Json before = ParseLine(RunSondrel(Args(c, path, "--json")).out);
        Surroundings around;
        around.asNobody = c.holder == Holder::Nobody; // root writes anything
        EXPECT_EQ(chmod(path.c_str(), around.asNobody ? 0444 : 0644), 0);
        Descriptor lock;
        struct flock l {
        };
        l.l_type = F_WRLCK;
        lock.fd = c.holder == Holder::Locked ? open(path.c_str(), O_RDWR) : -1;
        EXPECT_TRUE(lock.fd < 0 || fcntl(lock.fd, F_OFD_SETLK, &l) == 0);
        const RunResult r = RunSondrel(Args(c, path), Stdout::Capture, {}, around);
        EXPECT_EQ(r.status, ExitOf(c.status));
        EXPECT_EQ(r.err, "");
        Json line = ParseLine(r.out);
        std::string said;
        for (const auto& item : line.items())
            said += item.key() + " ";
        const bool replace = c.options.find("--replace") != std::string::npos;
        EXPECT_EQ(said, keys + (replace ? "method changes " : ""));
        for (const Json& change : line["changes"]) // what was there, and what is now
            EXPECT_NE(change["before"], change["after"]) << change.dump();
        if (replace && c.status == "embedded") {
            EXPECT_EQ(line["method"], "in-place");
            EXPECT_FALSE(line["changes"].empty());
        }
        EXPECT_EQ(line["status"], c.status);
        EXPECT_EQ(line["reason"].is_string(), ExitOf(c.status) > 0);
        EXPECT_EQ(Column(line["writes"], "what"), c.writes);
        EXPECT_EQ(line["findings_before"], c.holder == Holder::None
                                               ? Json(Column(before["findings"], "code"))
                                               : Json::array());
        if (c.status == "embedded") {
            ExpectEmbedded(c, path, before, line);
        } else {
            EXPECT_TRUE(ReadWholeFile(path) == c.file);
            EXPECT_EQ(line["findings_after"], line["findings_before"]);
        }
    }
}


// The writes of a clean run, bytes and all, as strace records its pwrite64 calls.
std::vector<std::pair<uint64_t, std::string>> CleanRunWrites(const EmbedCase& c,
                                                             const std::string& path)
{
    TempDir dir;
    Traced(c, path, dir.path() + "/t", {"-xx", "-s", "65536", "-e", "trace=pwrite64"});
    WriteFile(path, c.file);
    // PID pwrite64(FD, "\xNN...", COUNT, OFFSET) = COUNT
    std::vector<std::pair<uint64_t, std::string>> writes;
    std::istringstream lines(ReadWholeFile(dir.path() + "/t"));
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find('"'), close = line.find('"', open + 1);
        unsigned long long count = 0, offset = 0, done = 0;
        EXPECT_TRUE(
            line.find("pwrite64(") < open && close != std::string::npos &&
            sscanf(line.c_str() + close, "\", %llu, %llu) = %llu", &count, &offset, &done) == 3 &&
            count == done && close - open - 1 == 4 * count)
            << line;
        std::string bytes;
        for (size_t i = open + 3; i < close; i += 4)
            bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        writes.push_back({offset, bytes});
    }
    return writes;
}

struct Fault {
    std::string name;
    std::vector<std::string> syscalls;
    std::string action;
    size_t perWrite, more; // calls reached: per write of the plan, and besides
};

void PrintTo(const Fault& f, std::ostream* os) // names the run in ctest's list
{
    *os << f.name;
}

class EmbedFaults : public testing::TestWithParam<Fault>
{
};

TEST_P(EmbedFaults, EveryRunLeavesAPrefixOfTheWritesAndARerunFinishesIt)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    for (const EmbedCase& c : Cases()) {
        if (c.holder != Holder::None)
            continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.Write("take.wav", c.file);
        Json record = InspectRecord(path, false);
        const bool clean = record["findings"].dump().find("\"error\"") == std::string::npos;
        const auto writes = CleanRunWrites(c, path);
        EXPECT_EQ(writes.size(), c.writes.size()) << "the clean run made other writes";
        std::vector<std::string> states = {c.file};
        for (const auto& [offset, bytes] : writes) {
            std::string s = states.back();
            s.resize(std::max(s.size(), offset + bytes.size()));
            states.push_back(s.replace(offset, bytes.size(), bytes));
        }
        const InjectionPlan plan{GetParam().syscalls, GetParam().action, {}, Args(c, path)};
        size_t fileHits = 0, lineHits = 0;
        ForEachInjection(
            plan, [&] { WriteFile(path, c.file); },
            [&](const InjectedRun& r) {
                (r.injection.syscall == "write" ? lineHits : fileHits) += r.hit ? 1 : 0;
                const std::string now = ReadWholeFile(path);
                EXPECT_NE(std::find(states.begin(), states.end(), now), states.end())
                    << "not a prefix of the writes: " << r.run.out;
                if (clean)
                    ExpectAudioIntact(path, record["audio"], c.file);
                const bool started =
                    r.run.status != 127 && r.run.err.find("Sanitizer") == std::string::npos;
                if (r.killed) {
                    EXPECT_EQ(RunSondrel(Args(c, path)).status, ExitOf(c.status));
                    EXPECT_TRUE(ReadWholeFile(path) == states.back()) << "the rerun did not finish";
                } else if (r.hit && started) { // undone, but for the JSON line's write
                    EXPECT_EQ(r.run.status, 2) << r.run.out;
                    EXPECT_TRUE(now ==
                                states[r.injection.syscall == "write" ? states.size() - 1 : 0]);
                } else if (started) {
                    EXPECT_EQ(r.run.status, ExitOf(c.status)) << r.run.out;
                    EXPECT_TRUE(now == states.back());
                }
            });
        // Each write and its flush, no other; and the JSON line's write (the
        // sanitizers' runtime writes to a pipe of its own besides).
        EXPECT_EQ(fileHits, GetParam().perWrite * writes.size());
        EXPECT_GE(lineHits, GetParam().more);
    }
}

const std::vector<std::string> WriteCalls = {"pwrite64", "fsync", "fdatasync", "ftruncate",
                                             "write"};
INSTANTIATE_TEST_SUITE_P(
    AtEveryCall, EmbedFaults,
    testing::Values(Fault{"killed", WriteCalls, "signal=KILL", 2, 1},
                    Fault{"disk_full", {"pwrite64", "write"}, "error=ENOSPC", 1, 1},
                    Fault{"io_error", {"pwrite64", "fsync"}, "error=EIO", 2, 0}),
    [](const testing::TestParamInfo<Fault>& f) { return f.param.name; });


} // namespace
