// The checks of a plan, held to bad plans: each is a good plan with one
// fault, which the check must refuse; the good plans pass.  And the
// writing modes with /proc absent.
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include "inspect/inspect.h"
#include "inspect/measured.h"
#include "write/check_in_place.h"
#include "write/check_new_file.h"
#include "write/edit_plan.h"
#include "write/embed_plan.h"
#include "write/repair_plan.h"

#include <functional>
#include <sys/mman.h>
#include <unistd.h>

using namespace sondrel;
using namespace wavgen;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Audio = NoiseBytes(4000, 3);

// A file in memory, open for the planners and the checks.
struct MemoryFile {
    explicit MemoryFile(const std::string& bytes) : fd(memfd_create("plan", 0)), size(bytes.size())
    {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ~MemoryFile() { close(fd); }
    int fd;
    uint64_t size;
};

struct BadPlan {
    std::string what;
    std::function<void(Plan&)> fault;
};

// Offsets laid anew, in the pieces' order, as a planner would.
void Relay(Plan& p)
{
    p.length = 0;
    for (Piece& piece : p.pieces) {
        piece.offset = p.length;
        p.length += piece.bytes;
    }
}

Piece& Named(Plan& p, const std::string& what)
{
    for (Piece& piece : p.pieces)
        if (piece.what.find(what) != std::string::npos)
            return piece;
    ADD_FAILURE() << "no piece " << what;
    return p.pieces.front();
}

TEST(PlanChecks, TheNewFileCheckRefusesEachBadPlan)
{
    const std::string ds64 = Chunk("ds64", Ds64Body(0, Audio.size(), 1000));
    const MemoryFile in(Wave(ds64 + Fmt + RawChunk("data", 0xFFFFFFFF, Audio), "RF64"));
    const Plan good = PlanRepair(InspectOpen(in.fd)).plan;
    ASSERT_EQ(CheckNewFile(good, in.size, FileReader(in.fd)), "");
    const BadPlan bad[] = {
        {"a piece outside the input", [](Plan& p) { *Named(p, "audio").from += 10; }},
        {"a size that does not describe the chunk",
         [](Plan& p) { Named(p, "ds64").literal.replace(16, 8, wavgen::LE64(3000)); }},
        {"a RIFF size that does not describe the file",
         [](Plan& p) { Named(p, "ds64").literal.replace(8, 8, wavgen::LE64(28)); }},
        {"ds64 not first",
         [](Plan& p) {
             std::swap(p.pieces[1], p.pieces[2]);
             Relay(p);
         }},
        {"overlapping pieces", [](Plan& p) { Named(p, "fmt ").offset -= 4; }},
        {"a piece missing", [](Plan& p) { p.pieces.erase(p.pieces.begin() + 2); }},
        {"bytes past the last chunk", [](Plan& p) {
             p.pieces.push_back({p.length, 4, "JUNK", std::nullopt, "junk"});
             p.length += 4;
         }}};
    for (const BadPlan& b : bad) {
        Plan p = good;
        b.fault(p);
        EXPECT_NE(CheckNewFile(p, in.size, FileReader(in.fd)), "") << b.what;
    }
}

TEST(PlanChecks, TheInPlaceCheckRefusesEachBadPlan)
{
    const MemoryFile in(Wave(Fmt + Chunk("JUNK", std::string(40, '\0')) + Chunk("data", Audio)));
    EmbedValues v;
    v.md5 = std::array<uint8_t, 16>{1, 2, 3};
    v.loudness = LoudnessFigures{-23.0, 4.0, -1.0, -20.0, -21.0};
    const Plan good = PlanEmbed(InspectOpen(in.fd), FileReader(in.fd), v).plan;
    ASSERT_EQ(good.pieces.size(), 4u); // MD5 into JUNK; bext appended, then the RIFF size
    ASSERT_EQ(CheckInPlace(good, in.size, FileReader(in.fd), EmbedRules), "");
    const uint64_t audioAt = 12 + Fmt.size() + 48 + 8;
    const BadPlan bad[] = {
        {"audio overwritten", [&](Plan& p) { Named(p, "\"MD5 \" body").offset = audioAt; }},
        {"a header made visible before its body",
         [](Plan& p) { std::swap(p.pieces[0], p.pieces[1]); }},
        {"the RIFF size before the chunk it makes visible",
         [](Plan& p) { std::swap(p.pieces[2], p.pieces[3]); }},
        {"a size that does not describe the chunk",
         [](Plan& p) { Named(p, "header over").literal.replace(4, 4, wavgen::LE32(40)); }},
        {"the file header written", [](Plan& p) { Named(p, "RIFF size").offset = 0; }},
        {"a piece not flushed", [](Plan& p) { p.pieces[0].flushAfter = false; }},
        {"a piece copied, not its own", [](Plan& p) { p.pieces[0].from = 0; }}};
    for (const BadPlan& b : bad) {
        Plan p = good;
        b.fault(p);
        EXPECT_NE(CheckInPlace(p, in.size, FileReader(in.fd), EmbedRules), "") << b.what;
    }
}

// An edit's bext grown into the filler after it (history, the filler's
// rest, the bext size, the fields) and its last INFO entry covered by a
// JUNK, then the LIST size.
TEST(PlanChecks, TheInPlaceCheckHoldsAnEditToItsRules)
{
    const std::string file =
        Wave(Fmt + Chunk("bext", BextBody(BextFields{}) + std::string(2, '\0')) +
             Chunk("JUNK", std::string(64, '\0')) +
             Chunk("LIST", "INFO" + Chunk("INAM", "old") + Chunk("IART", "someone")) +
             Chunk("data", Audio));
    const MemoryFile in(file);
    const uint64_t dataAt = file.size() - Audio.size() - 8;
    const EditReader read = [&in](uint64_t offset, void* buffer, size_t count) {
        int error = 0;
        return ReadAt(in.fd, offset, buffer, count, &error);
    };
    std::vector<Edit> edits(2);
    SplitSetArgument("bext.coding_history+=A=PCM,F=48000", edits[0]);
    SplitSetArgument("info.IART=", edits[1]);
    const Plan good = PlanEdit(LoadState(InspectOpen(in.fd), in.size, read), edits, read).plan;
    ASSERT_EQ(good.pieces.size(), 5u);
    ASSERT_EQ(CheckInPlace(good, in.size, FileReader(in.fd), EditRules), "");
    EXPECT_NE(CheckInPlace(good, in.size, FileReader(in.fd), EmbedRules), "");
    // One more write, flushed, at the end of the plan.
    const auto Write = [](Plan& p, uint64_t at, const std::string& bytes) {
        p.pieces.push_back({at, bytes.size(), bytes, std::nullopt, "extra"});
        p.pieces.back().flushAfter = true;
    };
    const BadPlan bad[] = {
        {"audio overwritten", [&](Plan& p) { Named(p, "\"bext\" fields").offset = dataAt + 8; }},
        {"fmt written", [&](Plan& p) { Write(p, 22, wavgen::LE16(1)); }},
        {"the data size written", [&](Plan& p) { Write(p, dataAt + 4, wavgen::LE32(2000)); }},
        {"the bext size before the history it covers",
         [](Plan& p) { std::swap(p.pieces[0], p.pieces[1]); }},
        {"the LIST size before the JUNK over the entries",
         [](Plan& p) { std::swap(p.pieces[3], p.pieces[4]); }},
        {"a new chunk an edit may not make",
         [](Plan& p) {
             std::string& l = Named(p, "history inside").literal;
             l.replace(l.size() - 8, 4, "abcd");
         }},
        {"a RIFF size counting bytes the file lacks",
         [&](Plan& p) { Write(p, 4, wavgen::LE32(static_cast<uint32_t>(file.size()))); }},
        {"a piece not flushed", [](Plan& p) { p.pieces[2].flushAfter = false; }}};
    for (const BadPlan& b : bad) {
        Plan p = good;
        b.fault(p);
        EXPECT_NE(CheckInPlace(p, in.size, FileReader(in.fd), EditRules), "") << b.what;
    }
}

// Past the RIFF end of a file whose RIFF size covers only fmt lies a data
// chunk that no plan may change; writing its bytes as they are is a rerun's
// append.
TEST(PlanChecks, BytesPastTheRiffEndStayAsTheyAre)
{
    const std::string file = Wave(Fmt) + Chunk("data", Audio);
    const MemoryFile in(file);
    const uint64_t dataAt = 12 + Fmt.size();
    const struct {
        const char* what;
        uint64_t at;
        std::string bytes;
        bool refused;
    } rows[] = {{"audio overwritten", dataAt + 8, "XXXX", true},
                {"the data header overwritten", dataAt, "JUNK", true},
                {"the same bytes again", dataAt, file.substr(dataAt, 12), false},
                {"bytes after the end of the file", file.size(), "XXXX", false}};
    for (const auto& r : rows) {
        Plan p;
        p.pieces.push_back({r.at, r.bytes.size(), r.bytes, std::nullopt, r.what});
        p.pieces.back().flushAfter = true;
        for (const InPlaceRules* rules : {&EmbedRules, &EditRules})
            EXPECT_EQ(CheckInPlace(p, in.size, FileReader(in.fd), *rules) != "", r.refused)
                << r.what;
    }
    // A chunk the RIFF size reaches into is the plan's, past the RIFF end too.
    std::string reaching = Wave(Fmt + Chunk("JUNK", std::string(40, '\0')));
    reaching.replace(4, 4, wavgen::LE32(static_cast<uint32_t>(4 + Fmt.size() + 12)));
    const MemoryFile junk(reaching);
    Plan p;
    p.pieces.push_back({12 + Fmt.size() + 8 + 20, 4, "abcd", std::nullopt, "into the filler"});
    p.pieces.back().flushAfter = true;
    EXPECT_EQ(CheckInPlace(p, junk.size, FileReader(junk.fd), EmbedRules), "");
}

TEST(PlanChecks, TheWritingModesNeedNoProc)
{
    TempDir dir;
    const std::string in = dir.Write("in.wav", Wave(Fmt + RawChunk("data", 0, Audio)));
    const std::vector<std::string> env = {std::string("LD_PRELOAD=") + SONDREL_NO_PROC,
                                          "ASAN_OPTIONS=verify_asan_link_order=0"};
    // The shim is in force: the inspector cannot open a file of /proc.
    EXPECT_NE(RunSondrel({"--json", "/proc/self/status"}, Stdout::Capture, env)
                  .out.find("No such file or directory"),
              std::string::npos);
    const RunResult repair =
        RunSondrel({"--repair", in, dir.path() + "/out.wav"}, Stdout::Capture, env);
    EXPECT_NE(repair.out.find("\"status\":\"repaired\""), std::string::npos) << repair.out;
    const RunResult embed =
        RunSondrel({"--embed", "--md5", dir.path() + "/out.wav"}, Stdout::Capture, env);
    EXPECT_NE(embed.out.find("\"status\":\"embedded\""), std::string::npos) << embed.out;
}

} // namespace
