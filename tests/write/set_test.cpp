// --set, one table of cases: the shape each edit takes and the writes it
// makes, what it refuses; each case killed, and failed with ENOSPC and EIO,
// at every write, flush and rename in turn; --csv back into --set-from.
#include "crash_harness.h"
#include "repair_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>

using namespace wavgen;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const double Tones[] = {997, 440};
const std::string Audio = SinePCM(48000, 16, 4800, Tones, 2, 0.25);
const std::string Data = Chunk("data", Audio);

std::string Bext(const std::string& history)
{
    BextFields b;
    b.description = "Scene 12A";
    b.originator = "Take recorder";
    b.originationDate = "2026-11-30";
    b.codingHistory = history;
    return Chunk("bext", BextBody(b));
}

std::string Info(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string body = "INFO";
    for (const auto& [id, value] : entries)
        body += Chunk(id, value + std::string(1, '\0'));
    return Chunk("LIST", body);
}

const std::string Line1 = "A=PCM,F=48000,W=16,M=stereo,T=deck\r\n";
const std::string Bext1 = Bext(Line1 + std::string(8, '\0'));
const std::string List2 = Info({{"INAM", "Old title"}, {"ICMT", "A comment"}});
const std::string Junk = Chunk("JUNK", std::string(700, '\0'));

std::string Rf64(const std::string& before)
{
    const std::string ds64 = Chunk("ds64", Ds64Body(0, Audio.size(), Audio.size() / 4));
    std::string f = Wave(ds64 + Fmt + before + RawChunk("data", 0xFFFFFFFF, Audio), "RF64");
    return f.replace(20, 8, LE64(f.size() - 8));
}

enum class Around { None, Linked, ReadOnly, FolderLocked, Held, Symlink };

struct SetCase {
    std::string what, file;
    std::vector<std::string> sets; // KEY=VALUE
    std::string status, method;    // method "" for null
    std::vector<std::string> writes;
    Around around = Around::None;
    std::string options = "";
};

const std::string Appended = "A=PCM,F=48000,W=16,M=stereo,T=sondrel";

std::vector<SetCase> Cases()
{
    const std::string bf = "\"bext\" fields";
    // A case a few lines, as a table reads.
    // clang-format off
    return {
        {"shape 1: bext fields", Wave(Fmt + Bext1 + Data),
         {"bext.description=Szene 12A – Übung", "bext.umid=" + std::string(64, 'a'),
          "bext.time_reference=18446744073709551615"},
         "edited", "in-place", {bf}},
        {"shape 1: a shorter coding history", Wave(Fmt + Bext1 + Data),
         {"bext.coding_history=A=ANALOG"}, "edited", "in-place", {bf}},
        {"shape 1: an INFO value that fits", Wave(Fmt + List2 + Data), {"info.INAM=Short"},
         "edited", "in-place", {"INFO values"}},
        {"shape 2: the last INFO entry removed", Wave(Fmt + List2 + Data), {"info.ICMT="},
         "edited", "in-place", {"\"JUNK\" over the last INFO entries", "\"LIST\" size"}},
        {"shape 3: a history growing into the filler", Wave(Fmt + Bext1 + Junk + Data),
         {"bext.coding_history+=" + Appended}, "edited", "in-place",
         {"\"bext\" history inside \"JUNK\"", "\"bext\" size", bf}},
        {"shape 4: a new bext into a filler", Wave(Fmt + Junk + Data), {"bext.originator=Ö"},
         "edited", "in-place", {"\"bext\" body inside \"JUNK\"", "\"bext\" header over \"JUNK\""}},
        {"shape 4: a new LIST and iXML appended", Wave(Fmt + Data),
         {"info.INAM=日本語の題", "ixml=@-"}, "edited", "in-place",
         {"\"LIST\" and \"iXML\" chunks", "RIFF size"}},
        {"shape 4 in RF64: the ds64 RIFF size", Rf64(""), {"bext.originator=x"}, "edited",
         "in-place", {"\"bext\" chunk", "ds64 RIFF size"}},
        {"shape 4 with no chunk yet", Wave(""), {"bext.originator=x"}, "edited", "in-place",
         {"\"bext\" chunk", "RIFF size"}},
        {"no chunk, a RIFF size past the end", "RIFF" + LE32(508) + "WAVE", {"bext.originator=x"},
         "refused", "", {}},
        {"rewrite: growth without room", Wave(Fmt + Bext(Line1) + Data),
         {"bext.coding_history+=" + Appended}, "edited", "rewrite", {}},
        {"rewrite: a LIST that grows", Wave(Fmt + List2 + Data), {"info.IART=Someone"}, "edited",
         "rewrite", {}},
        {"rewrite: an iXML replaced", Wave(Fmt + Data + Chunk("iXML", "<BWFXML/>\n")),
         {"ixml=@-"}, "edited", "rewrite", {}},
        {"rewrite in RF64", Rf64(Bext(Line1)), {"bext.coding_history+=" + Appended}, "edited",
         "rewrite", {}},
        {"nothing to change", Wave(Fmt + List2 + Data), {"info.INAM=Old title"}, "unchanged", "",
         {}},
        {"--no-rewrite", Wave(Fmt + List2 + Data), {"info.IART=x"}, "refused", "", {},
         Around::None, "--no-rewrite"},
        {"--dry-run", Wave(Fmt + List2 + Data), {"info.INAM=x"}, "planned", "in-place",
         {"INFO values"}, Around::None, "--dry-run"},
        {"an unknown key", Wave(Fmt + Data), {"bext.title=x"}, "refused", "", {}},
        {"a value too long", Wave(Fmt + Data), {"bext.originator=" + std::string(33, 'x')},
         "refused", "", {}},
        {"an impossible date", Wave(Fmt + Data), {"bext.origination_date=2026-13-01"}, "refused",
         "", {}},
        {"a control character", Wave(Fmt + Data), {"info.INAM=a\tb"}, "refused", "", {}},
        {"a bext shorter than 602 bytes", Wave(Fmt + Chunk("bext", std::string(400, 'a')) + Data),
         {"bext.originator=x"}, "refused", "", {}},
        {"a short bext, its time reference", Wave(Fmt + Chunk("bext", std::string(100, 'a')) + Data),
         {"bext.time_reference=5"}, "refused", "", {}},
        {"a short bext, its coding history", Wave(Fmt + Chunk("bext", std::string(100, 'a')) + Data),
         {"bext.coding_history=L"}, "refused", "", {}},
        {"an error finding", Wave(Fmt + RawChunk("data", 9000, Audio.substr(0, 400))),
         {"info.INAM=x"}, "refused", "", {}},
        {"a hard-linked file to rewrite", Wave(Fmt + List2 + Data), {"info.IART=x"}, "refused", "",
         {}, Around::Linked},
        {"a hard-linked file in place", Wave(Fmt + List2 + Data), {"info.INAM=x"}, "edited",
         "in-place", {"INFO values"}, Around::Linked},
        {"a read-only file", Wave(Fmt + List2 + Data), {"info.INAM=x"}, "error", "", {},
         Around::ReadOnly},
        {"a symbolic link to rewrite", Wave(Fmt + List2 + Data), {"info.IART=x"}, "refused", "", {},
         Around::Symlink},
        {"a file another run holds", Wave(Fmt + List2 + Data), {"info.INAM=x"}, "error", "", {},
         Around::Held},
        {"a folder that takes no temporary file", Wave(Fmt + List2 + Data), {"info.IART=x"},
         "error", "", {}, Around::FolderLocked},
    };
    // clang-format on
}

const std::string Document = "<BWFXML><PROJECT>Ärger</PROJECT></BWFXML>\n";

std::vector<std::string> Args(const SetCase& c, const std::string& path)
{
    std::vector<std::string> a;
    for (const std::string& s : c.sets)
        a.insert(a.end(), {"--set", s});
    if (!c.options.empty())
        a.push_back(c.options);
    a.push_back(path);
    return a;
}

int ExitOf(const std::string& status)
{
    return status == "error" ? 2 : status == "refused" ? 1 : 0;
}

RunResult RunSet(const SetCase& c, const std::string& path, const TempDir& dir)
{
    Surroundings s;
    s.input = dir.path() + "/doc.xml";
    s.asNobody = c.around == Around::ReadOnly || c.around == Around::FolderLocked;
    return RunSondrel(Args(c, path), Stdout::Capture, {}, s);
}

// What --json shows for each key set, as the value was given.
void ExpectFieldsRead(const SetCase& c, Json record)
{
    for (const std::string& s : c.sets) {
        const size_t eq = s.find('=');
        const std::string key = s.substr(0, eq - (s[eq - 1] == '+')), value = s.substr(eq + 1);
        Json shown = key == "ixml"              ? record["ixml"]["project"]
                     : key.starts_with("info.") ? record["info"][key.substr(5)]
                                                : record["bext"][key.substr(5)];
        if (key == "bext.coding_history")
            shown = shown.back();
        if (key == "bext.time_reference")
            shown = std::to_string(shown.get<uint64_t>());
        if (key == "bext.umid")
            std::transform(value.begin(), value.end(), const_cast<char*>(value.data()), toupper);
        if (value.empty())
            EXPECT_TRUE(shown.is_null()) << key << shown.dump();
        else
            EXPECT_EQ(shown, key == "ixml" ? Json("Ärger") : Json(value)) << key;
    }
}

// The audio where the record says, as it was; a file made without audio
// has none.
void ExpectAudioKept(const SetCase& c, const std::string& path, const Json& record)
{
    const bool audio = c.file.find("data") != std::string::npos;
    ASSERT_EQ(record["audio"].is_object(), audio) << c.what;
    if (audio) {
        EXPECT_TRUE(ReadRange(path, record["audio"]["offset"], Audio.size()) == Audio)
            << "the audio changed";
    }
}

void Prepare(const SetCase& c, const TempDir& dir, const std::string& path)
{
    WriteFile(path, c.file);
    WriteFile(dir.path() + "/doc.xml", Document);
    unlink((dir.path() + "/link.wav").c_str());
    if (c.around == Around::Linked) {
        EXPECT_EQ(link(path.c_str(), (dir.path() + "/link.wav").c_str()), 0);
    }
    chmod(path.c_str(), c.around == Around::ReadOnly ? 0444 : 0646);
    chmod(dir.path().c_str(), c.around == Around::FolderLocked ? 0755 : 0777);
}

// Attributes that users and tools attach to a file (a checksum, a
// catalogue id) stay with it through a rewrite, and the new file takes no
// ACL from its folder that the original did not have.
TEST(Set, ARewriteKeepsTheExtendedAttributesAndGrantsNoMore)
{
    TempDir dir;
    const std::string path = dir.Write("take.wav", Wave(Fmt + List2 + Data));
    const std::string value = "sha256:0123456789abcdef";
    if (setxattr(path.c_str(), "user.archive.checksum", value.data(), value.size(), 0) != 0)
        GTEST_SKIP() << "this file system takes no user attributes: " << strerror(errno);
    // The folder's default ACL, set after the file was made: user 1234 may read.
    std::string acl = LE32(2);
    for (const auto& [tag, perm, id] :
         {std::tuple{1, 7, ~0u}, {2, 4, 1234u}, {4, 5, ~0u}, {0x10, 5, ~0u}, {0x20, 5, ~0u}})
        acl += LE16(static_cast<uint16_t>(tag)) + LE16(static_cast<uint16_t>(perm)) + LE32(id);
    const bool inherits =
        setxattr(dir.path().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) == 0;
    const Json line = ParseLine(RunSondrel({"--set", "info.IART=Someone", path}).out);
    ASSERT_EQ(line["method"], "rewrite") << line.dump();
    std::string kept(64, '\0');
    const ssize_t n = getxattr(path.c_str(), "user.archive.checksum", kept.data(), kept.size());
    ASSERT_GE(n, 0) << strerror(errno);
    EXPECT_EQ(kept.substr(0, static_cast<size_t>(n)), value);
    if (inherits) {
        EXPECT_LT(getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0), 0);
        EXPECT_EQ(errno, ENODATA) << "the folder's ACL was given to the file";
    }
}

TEST(Set, EachShapeWritesWhatItSaysAndRefusesWhatItCannotDoSafely)
{
    for (const SetCase& c : Cases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.path() + "/take.wav";
        Prepare(c, dir, path);
        struct stat before {
        };
        stat(path.c_str(), &before);
        struct flock lock {
        };
        lock.l_type = F_WRLCK;
        const int held = c.around == Around::Held ? open(path.c_str(), O_RDWR) : -1;
        EXPECT_TRUE(held < 0 || fcntl(held, F_OFD_SETLK, &lock) == 0);
        const std::string named = dir.path() + "/link.wav";
        if (c.around == Around::Symlink) {
            EXPECT_EQ(symlink("take.wav", named.c_str()), 0);
        }
        const RunResult r = RunSet(c, c.around == Around::Symlink ? named : path, dir);
        if (held >= 0)
            close(held);
        EXPECT_EQ(r.status, ExitOf(c.status)) << r.out;
        EXPECT_EQ(r.err, "");
        const Json line = ParseLine(r.out);
        EXPECT_EQ(line["status"], c.status) << r.out;
        EXPECT_EQ(line["method"], c.method.empty() ? Json() : Json(c.method));
        if (c.method == "in-place") {
            EXPECT_EQ(Column(line["writes"], "what"), c.writes);
        }
        for (const Json& change : line["changes"]) {
            if (change["key"] == "ixml") {
                EXPECT_EQ(change["after"], Document) << "the document, as text";
            }
        }
        EXPECT_TRUE(Leftovers(dir, {"take.wav", "doc.xml", "link.wav"}).empty());
        if (c.status != "edited") {
            EXPECT_TRUE(ReadWholeFile(path) == c.file) << "an untouched file changed";
            continue;
        }
        const Json record = InspectRecord(path, false);
        ExpectFieldsRead(c, record);
        EXPECT_EQ(line["findings_after"], Json(Column(record["findings"], "code")));
        ExpectAudioKept(c, path, record);
        struct stat after {
        };
        stat(path.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(ParseLine(RunSet(c, path, dir).out)["status"], "unchanged") << "rerun";
    }
}

// The acceptable states of the file: the original, each prefix of the
// clean run's writes in place, the finished file.
std::vector<std::string> States(const SetCase& c, const TempDir& dir, const std::string& path,
                                Json& line)
{
    Prepare(c, dir, path);
    line = ParseLine(RunSet(c, path, dir).out);
    std::vector<std::string> states = {c.file};
    if (line["method"] == "in-place") {
        std::string s = c.file;
        for (const Json& w : line["writes"]) {
            const uint64_t at = w["offset"], n = w["bytes"];
            const std::string now = ReadWholeFile(path);
            s.resize(std::max<size_t>(s.size(), at + n));
            s.replace(at, n, now.substr(at, n));
            states.push_back(s);
        }
    }
    states.push_back(ReadWholeFile(path));
    return states;
}

// A field edited holds its old value or its new one, never a mixture.
void ExpectOldOrNew(Json record, const Json& change)
{
    const std::string key = change["key"];
    if (key == "ixml")
        return;
    Json shown = key.starts_with("info.")   ? record["info"][key.substr(5)]
                 : record["bext"].is_null() ? Json()
                                            : record["bext"][key.substr(5)];
    if (key == "bext.coding_history" && shown.is_array()) {
        std::string joined;
        for (const Json& line : shown)
            joined += (joined.empty() ? "" : "\n") + line.get<std::string>();
        shown = joined;
    }
    EXPECT_TRUE(shown == change["before"] || shown == change["after"]) << key << ": " << shown;
}

struct Fault {
    std::string name;
    std::vector<std::string> syscalls;
    std::string action;
};

void PrintTo(const Fault& f, std::ostream* os)
{
    *os << f.name;
}

class SetFaults : public testing::TestWithParam<Fault>
{
};

TEST_P(SetFaults, EveryRunLeavesAWholeFileAndARerunFinishesIt)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    for (const SetCase& c : Cases()) {
        if (c.status != "edited" || c.around != Around::None)
            continue;
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.path() + "/take.wav";
        Json clean;
        const std::vector<std::string> states = States(c, dir, path, clean);
        InjectionPlan plan{GetParam().syscalls, GetParam().action, {}, Args(c, path)};
        Surroundings s;
        const std::string doc = dir.path() + "/doc.xml";
        // strace passes standard input on: the document comes from a file.
        for (std::string& a : plan.args)
            if (a == "ixml=@-")
                a = "ixml=@" + doc;
        const int hits = ForEachInjection(
            plan, [&] { Prepare(c, dir, path); },
            [&](const InjectedRun& r) {
                const std::string now = ReadWholeFile(path);
                EXPECT_NE(std::find(states.begin(), states.end(), now), states.end())
                    << "not a state on the way: " << r.run.out;
                const Json record = InspectRecord(path, false);
                EXPECT_EQ(record["findings"].dump().find("\"error\""), std::string::npos);
                for (const Json& change : clean["changes"])
                    ExpectOldOrNew(record, change);
                ExpectAudioKept(c, path, record);
                if (r.hit && !r.killed && r.injection.syscall != "write") {
                    EXPECT_EQ(r.run.status, 2) << r.run.out;
                }
                RunSondrel(plan.args);
                EXPECT_TRUE(ReadWholeFile(path) == states.back()) << "the rerun did not finish";
                EXPECT_TRUE(Leftovers(dir, {"take.wav", "doc.xml"}).empty());
            });
        EXPECT_GE(hits, GetParam().name == "killed" ? 2 : 1) << "fewer calls than any edit makes";
    }
}

const std::vector<std::string> WriteCalls = {"pwrite64", "fsync",    "ftruncate", "copy_file_range",
                                             "rename",   "renameat", "write"};
INSTANTIATE_TEST_SUITE_P(
    AtEveryCall, SetFaults,
    testing::Values(Fault{"killed", WriteCalls, "signal=KILL"},
                    Fault{"disk_full", {"pwrite64", "copy_file_range", "fsync"}, "error=ENOSPC"},
                    Fault{"io_error", {"pwrite64", "fsync"}, "error=EIO"}),
    [](const testing::TestParamInfo<Fault>& f) { return f.param.name; });

} // namespace
