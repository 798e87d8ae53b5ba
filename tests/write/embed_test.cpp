// --embed, one table of cases: what each run writes and leaves alone; each
// case killed, and failed with ENOSPC and EIO, at every write and flush in
// turn, as databases test their commits; another writer's change under a
// run; the command line; independent readers of the embedded files.
#include "crash_harness.h"
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

using namespace wavgen;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const double Tones[] = {997, 440};
// 3.5 s gives every loudness value; 0.3 s is too short for all but the peak.
const std::string Audio = SinePCM(48000, 16, 168000, Tones, 2, 0.25);
const std::string Short = SinePCM(48000, 16, 14400, Tones, 2, 0.25);
const std::string Data = Chunk("data", Audio);
const std::string Z16(16, '\0'), Z20(20, '\0');

std::string RawMd5(const std::string& audio)
{
    const std::string hex = Md5Hex(audio);
    std::string raw;
    for (size_t i = 0; i < hex.size(); i += 2)
        raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return raw;
}

std::string Bext(uint16_t version)
{
    BextFields b;
    b.description = "Scene 12A";
    b.originationDate = "2026-11-30";
    b.version = version;
    b.umid = NoiseBytes(32, 9); // kept as it is
    b.codingHistory = "A=PCM,F=48000,W=16,M=stereo\r\n";
    return Chunk("bext", BextBody(b));
}

std::string Rf64()
{
    const std::string ds64 = Chunk("ds64", Ds64Body(0, Audio.size(), Audio.size() / 4));
    std::string f = Wave(ds64 + Fmt + RawChunk("data", 0xFFFFFFFF, Audio), "RF64");
    return f.replace(20, 8, LE64(f.size() - 8));
}

// Float stereo far below what 16-bit hundredths of a dB can hold.
std::string FaintFloat()
{
    std::string audio;
    for (int i = 0; i < 2 * 168000; i++) {
        const float v = 1e-20f * static_cast<float>(std::sin(i / 14.0));
        uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        audio += LE32(bits);
    }
    return Wave(Chunk("fmt ", FmtBody(3, 2, 48000, 32)) + Bext(1) + Chunk("data", audio));
}

std::string RiffSize0(std::string file)
{
    return file.replace(4, 4, LE32(0));
}

enum class Holder { None, Nobody, Locked }; // run as an ordinary user; the file locked

struct EmbedCase {
    std::string what, file, options; // "--md5 --loudness"
    std::string status;              // embedded, unchanged, refused, error
    std::vector<std::string> writes; // the `what` of each, in order
    Holder holder = Holder::None;
};

EmbedCase Case(std::string what, std::string file, std::string options, std::string status,
               std::vector<std::string> writes = {}, Holder holder = Holder::None)
{
    return {std::move(what),   std::move(file),   std::move(options),
            std::move(status), std::move(writes), holder};
}

std::vector<EmbedCase> Cases()
{
    const std::string both = "--md5 --loudness", riff = "RIFF size",
                      bextAt = "\"bext\" version and loudness";
    const std::string pad = "\"PAD \"", fllr = "\"FLLR\"", in = " header inside ";
    const std::string md5In = "\"MD5 \" body and ", md5Over = "\"MD5 \" header over ";
    return {
        Case("an equal MD5 is left alone", Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Audio))), "--md5",
             "unchanged"),
        Case("a different MD5 is a mismatch, not overwritten",
             Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Short))), both, "refused"),
        Case("a placeholder MD5 filled, bext version 1 given loudness",
             Wave(Fmt + Bext(1) + Data + Chunk("MD5 ", Z16)), both, "embedded",
             {"\"MD5 \" body", bextAt}),
        Case("the first filler with room, what remains of it for bext",
             Wave(Fmt + Chunk("JUNK", Z20) + Chunk("PAD ", std::string(700, '\0')) + Data), both,
             "embedded",
             {md5In + pad + in + pad, md5Over + pad, "\"bext\" body and " + pad + in + pad,
              "\"bext\" header over " + pad}),
        Case("a filler of exactly the MD5's size", Wave(Fmt + Chunk("JUNK", Z16) + Data), "--md5",
             "embedded", {"\"MD5 \" body inside \"JUNK\"", md5Over + "\"JUNK\""}),
        Case("an odd filler that holds the MD5, then not bext",
             Wave(Fmt + Chunk("FLLR", NoiseBytes(601, 2)) + Data), both, "embedded",
             {md5In + fllr + in + fllr, md5Over + fllr, "\"bext\" chunk", riff}),
        Case("a filler too small: both appended", Wave(Fmt + Chunk("JUNK", Z20) + Data), both,
             "embedded", {"\"MD5 \" and \"bext\" chunks", riff}),
        Case("the last chunk's missing pad byte first",
             Wave(Fmt + Data + RawChunk("note", 5, "abcde", false)), "--md5", "embedded",
             {"pad byte", "\"MD5 \" chunk", riff}),
        Case("a RIFF size past the file's end",
             Wave(Fmt + Data + RawChunk("note", 5, "abcde", false))
                 .replace(4, 4, LE32(uint32_t(Audio.size() + 64))),
             "--md5", "refused"),
        Case("RF64: the ds64 RIFF size", Rf64(), both, "embedded",
             {"\"MD5 \" and \"bext\" chunks", "ds64 RIFF size"}),
        Case("bext version 0: the MD5 appended first", Wave(Fmt + Bext(0) + Data), both, "embedded",
             {"\"MD5 \" chunk", riff, bextAt}),
        Case("bext version 2 never measured", Wave(Fmt + Bext(2) + Data), "--loudness", "embedded",
             {bextAt}),
        Case("bext version 3 becomes 2", Wave(Fmt + Bext(3) + Data), "--loudness", "embedded",
             {bextAt}),
        Case("values beyond the fields' range stored unset", FaintFloat(), "--loudness", "embedded",
             {bextAt}),
        Case("no bext: a new one, unset where the audio gives no value",
             Wave(Fmt + Chunk("data", Short)), "--loudness", "embedded", {"\"bext\" chunk", riff}),
        Case("what a killed run appended is finished",
             Wave(Fmt + Data) + Chunk("MD5 ", RawMd5(Audio)), "--md5", "embedded",
             {"\"MD5 \" chunk", riff}),
        Case("a bext shorter than 602 bytes", Wave(Fmt + Bext(1).substr(0, 408) + Data),
             "--loudness", "refused"),
        Case("an MD5 chunk of 8 bytes", Wave(Fmt + Data + Chunk("MD5 ", "12345678")), "--md5",
             "refused"),
        Case("an error finding: the audio cut short",
             Wave(Fmt + RawChunk("data", 8000, Audio.substr(0, 4000))), both, "refused"),
        Case("an unfinalised recording", RiffSize0(Wave(Fmt + RawChunk("data", 0, Audio))), "--md5",
             "refused"),
        Case("compressed audio: no loudness to store",
             Wave(Chunk("fmt ", FmtBody(0x50, 2, 48000, 0)) + Data), "--loudness", "refused"),
        Case("junk past the RIFF end", Wave(Fmt + Data) + "junk!", "--md5", "refused"),
        Case("junk past the RIFF end, nothing to append",
             Wave(Fmt + Data + Chunk("MD5 ", RawMd5(Audio))) + "junk!", "--md5", "refused"),
        Case("the RIFF size unset: no end to append at", RiffSize0(Wave(Fmt + Data)), "--md5",
             "refused"),
        Case("RF64 with a 19-byte ds64: the planner and its check agree",
             ReadWholeFile(SONDREL_SOURCE_DIR
                           "/fuzz/corpus/ee7d087606eb76b1df8cbac1e141dc6bf47dbf48"),
             "--md5", "embedded", {md5In + "\"JUNK\"" + in + "\"JUNK\"", md5Over + "\"JUNK\""}),
        Case("not a WAVE file", "just some notes\n", "--md5", "refused"),
        Case("a read-only file", Wave(Fmt + Data), "--md5", "error", {}, Holder::Nobody),
        Case("a file another run holds", Wave(Fmt + Data), "--md5", "error", {}, Holder::Locked),
    };
}

std::vector<std::string> Args(const EmbedCase& c, const std::string& path,
                              const char* mode = "--embed")
{
    std::vector<std::string> args = {mode};
    std::istringstream options(c.options);
    for (std::string o; options >> o;)
        args.push_back(o);
    args.push_back(path);
    return args;
}

int ExitOf(const std::string& status)
{
    return status == "error" ? 2 : status == "refused" ? 1 : 0;
}

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
        EXPECT_EQ(said, keys);
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

// The case run under strace, with `more` of its options (what it traces).
RunResult Traced(const EmbedCase& c, const std::string& path, const std::string& trace,
                 const std::vector<std::string>& more)
{
    std::vector<std::string> command = {"strace", "-f", "-qq", "-o", trace};
    command.insert(command.end(), more.begin(), more.end());
    command.push_back(SONDREL_BINARY);
    const std::vector<std::string> args = Args(c, path);
    command.insert(command.end(), args.begin(), args.end());
    return RunCommand(command, Stdout::Capture, {"ASAN_OPTIONS=detect_leaks=0"});
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

const EmbedCase& Named(const std::string& what)
{
    static const std::vector<EmbedCase> cases = Cases();
    return *std::find_if(cases.begin(), cases.end(),
                         [&](const EmbedCase& c) { return c.what == what; });
}

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
        uint64_t at;
        std::string reason;
    };
    const std::vector<Change> changes = {
        {"bext version 2 never measured", "pread64", true, 1000,
         "The file changed between its measurement and the write"},
        {"a filler too small: both appended", "pwrite64", false, 47, // the JUNK's body
         "The file changed while it was written; what was written is undone"},
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
        t.resize(t.find(k.inAudio ? ", " + std::to_string(audioAt) + ")" : opened));
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
            const int fd = open(path.c_str(), O_WRONLY);
            EXPECT_EQ(pwrite(fd, "\x55", 1, static_cast<off_t>(at)), 1);
            close(fd);
        });
        const RunResult r =
            Traced(c, path, trace,
                   {"-e", "trace=" + k.syscall, "-e",
                    "inject=" + k.syscall + ":delay_enter=2000000:when=" + std::to_string(when)});
        other.join();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(ParseLine(r.out)["reason"], k.reason);
        std::string expected = c.file;
        expected[at] = '\x55';
        EXPECT_TRUE(ReadWholeFile(path) == expected);
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
