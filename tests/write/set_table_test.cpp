// --csv into --set-from and back: the text that spreadsheets mangle
// survives; a table from Python's csv module; RF64 past 4 GiB rewritten
// whole; another program's change during a run; the command line.
#include "crash_harness.h"
#include "repair_checks.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace wavgen;

using namespace std::string_literals;

namespace
{

const std::string Fmt = Chunk("fmt ", FmtBody(1, 2, 48000, 16));
const std::string Data = Chunk("data", NoiseBytes(19200, 4));

std::string Tagged(const std::string& title, const std::string& history)
{
    BextFields b;
    b.description = title;
    b.codingHistory = history + std::string(64, '\0');
    const std::string list =
        Chunk("LIST", "INFO" + Chunk("INAM", title + '\0' + std::string(40, '\0')));
    return Wave(Fmt + Chunk("bext", BextBody(b)) + list + Chunk("JUNK", std::string(400, '\0')) +
                Data);
}

std::vector<std::string> Statuses(const std::string& out)
{
    std::vector<std::string> s;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        s.push_back(Json::parse(line)["status"]);
    return s;
}

TEST(SetFrom, ATableFromCsvGoesBackUnchangedAndItsEditsReadBack)
{
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"Grüße aus Köln", "A=PCM,F=48000\r\nT=\"quoted\", with comma\r\n"},
        {"東京の録音", "A=ANALOG\r\n"},
        {"=SUM(A1) looks like a formula", ""},
        {"-minus, 'quote\" and more", "\r\n"},
    };
    std::vector<std::string> names;
    for (size_t i = 0; i < files.size(); i++)
        names.push_back(dir.Write(std::string("f").append(std::to_string(i)).append(".wav"),
                                  Tagged(files[i].first, files[i].second)));
    // A file without bext: its empty cells stay "no bext".
    names.push_back(dir.Write("plain.wav", ReadWholeFile(SONDREL_TEST_DATA "/ff_s16_stereo.wav")));
    std::vector<std::string> args = {"--csv"};
    args.insert(args.end(), names.begin(), names.end());
    const std::string table = RunSondrel(args).out;
    std::vector<std::string> before;
    for (const std::string& n : names)
        before.push_back(ReadWholeFile(n));
    WriteFile(dir.path() + "/t.csv", table);
    RunResult r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Statuses(r.out), std::vector<std::string>(names.size(), "unchanged"));
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_TRUE(ReadWholeFile(names[i]) == before[i]) << names[i];
    // Python's csv module edits a column and writes the table as it does.
    const std::string script =
        "import csv,sys\n"
        "rows=list(csv.DictReader(open(sys.argv[1],newline='',encoding='utf-8-sig')))\n"
        "for r in rows: r['info.INAM']='Neu: '+r['bext.description'][:8]; "
        "r['bext.coding_history']+='\\nT=Ä, \"x\"'\n"
        "w=csv.DictWriter(open(sys.argv[1],'w',newline='',encoding='utf-8'),rows[0].keys())\n"
        "w.writeheader(); w.writerows(rows)\n";
    if (RunCommand({"python3", "-c", script, dir.path() + "/t.csv"}).status != 0)
        GTEST_SKIP() << "python3 is not installed";
    r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
    EXPECT_EQ(r.status, 0) << r.out;
    for (size_t i = 0; i < files.size(); i++) {
        Json rec = InspectRecord(names[i], false);
        const std::string shown = files[i].first.substr(0, 8);
        EXPECT_EQ(rec["info"]["INAM"].get<std::string>().substr(0, 5), "Neu: ") << shown;
        EXPECT_EQ(rec["bext"]["coding_history"].back(), "T=Ä, \"x\"");
        EXPECT_EQ(rec["bext"]["description"], files[i].first);
    }
    // The same table again writes nothing.
    EXPECT_EQ(Statuses(RunSondrel({"--set-from", dir.path() + "/t.csv"}).out),
              std::vector<std::string>(names.size(), "unchanged"));
}

// A table opened and saved by LibreOffice (through its own format and
// back to CSV, UTF-8) still writes nothing.
TEST(SetFrom, ATableSavedByLibreOfficeGoesBackUnchanged)
{
    if (RunCommand({"sh", "-c", "command -v soffice"}).status != 0)
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    TempDir dir;
    const std::string wav = dir.Write("a.wav", Tagged("Grüße, \"x\"", "A=PCM\r\nT=2\r\n"));
    const std::string before = ReadWholeFile(wav);
    WriteFile(dir.path() + "/t.csv", RunSondrel({"--csv", wav}).out);
    const std::string to = "soffice --headless --outdir \"$0\" --convert-to ";
    ASSERT_EQ(RunCommand({"sh", "-c",
                          to + "ods \"$0/t.csv\" && rm \"$0/t.csv\" && " + to +
                              "csv:\"Text - txt - csv (StarCalc)\":44,34,76,1 \"$0/t.ods\"",
                          dir.path()})
                  .status,
              0);
    const RunResult r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
    EXPECT_EQ(ParseLine(r.out)["status"], "unchanged") << r.out;
    EXPECT_TRUE(ReadWholeFile(wav) == before);
}

TEST(SetFrom, APathThatIsNotUtf8IsReachedThroughItsBytes)
{
    TempDir dir;
    const std::string name = dir.path() + "/caf\xE9.wav";
    WriteFile(name, Tagged("x", ""));
    const std::string table = RunSondrel({"--csv", name}).out;
    const size_t cut = table.find("\r\n") + 2;
    std::string row = table.substr(cut);
    EXPECT_NE(row[row.find(',') + 1], ',') << "no path_bytes: " << row;
    // The Latin-1 reading in `path` is spoiled: only path_bytes can name the file.
    row.replace(0, row.find(','), "nothing.wav");
    const std::string header = table.substr(0, cut);
    const std::string edited = header + row.replace(row.find(",x,"), 3, ",y,");
    WriteFile(dir.path() + "/t.csv", edited);
    const RunResult r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(InspectRecord(name, false)["bext"]["description"], "y");
}

TEST(SetFrom, ATableThatIsNotCsvIsAUsageErrorAndWritesNothing)
{
    TempDir dir;
    const std::string wav = dir.Write("a.wav", Tagged("x", "")), original = ReadWholeFile(wav);
    const std::vector<std::pair<std::string, std::string>> tables = {
        {"bext.description\r\ny\r\n", "no path column"},
        {"path,bext.description\r\n" + wav + ",y,z\r\n", "more cells than the header"},
        {"path,bext.description\r\n" + wav + ",\"y\r\n", "a quote is left open"},
    };
    for (const auto& [table, why] : tables) {
        WriteFile(dir.path() + "/t.csv", table);
        const RunResult r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_TRUE(ReadWholeFile(wav) == original);
    }
    const std::vector<std::vector<std::string>> usage = {
        {"--set", "nokey", wav},
        {"--set", "info.INAM=x"},
        {"--set", "info.INAM=x", "--json", wav},
        {"--set-from", "t.csv", wav},
        {"--set", "ixml=@/nonexistent", wav},
    };
    for (const auto& args : usage)
        EXPECT_EQ(RunSondrel(args).status, 2) << args[0] << args[1];
    // A row whose file cannot be opened gets its error line; the run goes on.
    WriteFile(dir.path() + "/t.csv", "path,bext.description\r\nmissing.wav,a\r\n" + wav + ",b\r\n");
    const RunResult r = RunSondrel({"--set-from", dir.path() + "/t.csv"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Statuses(r.out), (std::vector<std::string>{"error", "edited"}));
}

// The head of a sparse file and its length: what a 4 GiB hole leaves to compare.
std::string HeadAndLength(const std::string& path)
{
    struct stat st {
    };
    stat(path.c_str(), &st);
    return ReadRange(path, 0, 4096) + std::to_string(st.st_size);
}

TEST(Set, Rf64Past4GiBIsRewrittenWholeAndStaysSparseUnderEveryKill)
{
    TempDir dir;
    const std::string path = dir.path() + "/long.rf64";
    const uint64_t audio = (uint64_t{1} << 32) + 4000;
    const std::string tail = Chunk("bext", BextBody(BextFields{}) + "A=PCM\r\n");
    const auto prepare = [&] {
        unlink(path.c_str());
        ASSERT_TRUE(WriteSparseRf64(path, "RF64", audio, audio / 4, tail));
        const int fd = open(path.c_str(), O_WRONLY);
        const std::string riff = LE64(80 + audio + tail.size() - 8);
        EXPECT_EQ(pwrite(fd, riff.data(), 8, 20), 8);
        close(fd);
    };
    prepare();
    const std::string original = HeadAndLength(path);
    const std::vector<std::string> args = {"--set", "bext.coding_history+=T=sondrel", path};
    const RunResult r = RunSondrel(args);
    EXPECT_EQ(ParseLine(r.out)["method"], "rewrite") << r.out;
    const std::string done = HeadAndLength(path);
    const Json rec = InspectRecord(path, false);
    EXPECT_EQ(rec["container"], "RF64");
    EXPECT_EQ(rec["findings"], Json::array());
    EXPECT_EQ(rec["audio"]["bytes"], audio);
    EXPECT_EQ(rec["bext"]["coding_history"], Json({"A=PCM", "T=sondrel"}));
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(lseek(fd, 4096, SEEK_DATA), static_cast<off_t>((80 + audio) & ~4095ULL))
        << "the hole was filled";
    close(fd);
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    const std::vector<std::string> calls = {"pwrite64", "copy_file_range", "ftruncate", "fsync",
                                            "renameat"};
    for (const char* action : {"signal=KILL", "error=ENOSPC", "error=EIO"}) {
        const InjectionPlan plan{calls, action, {}, args};
        const int hits = ForEachInjection(plan, prepare, [&](const InjectedRun& run) {
            const std::string now = HeadAndLength(path);
            EXPECT_TRUE(now == original || now == done);
            EXPECT_TRUE(run.killed || !run.hit || run.run.status == 2) << run.run.out;
            RunSondrel(args);
            EXPECT_TRUE(HeadAndLength(path) == done);
            EXPECT_TRUE(Leftovers(dir, {"long.rf64"}).empty());
        });
        EXPECT_GE(hits, 5) << action; // writes, copies, the length, flushes, the rename
    }
}

// Another program writes a byte of the file while the run waits in a
// system call (strace delays it): the run sees it and leaves the file as
// the other program made it.
TEST(Set, AnotherWritersChangeIsNeverWrittenOver)
{
    std::string why;
    if (!StraceWorks(why))
        GTEST_SKIP() << why;
    struct Change {
        std::string set, call, reason;
    };
    const std::vector<Change> changes = {
        {"info.ICMT=", "pwrite64",
         "The file changed while it was written; what was written is undone"},
        {"info.IART=x", "ftruncate", "The file changed while it was rewritten"},
    };
    for (const Change& k : changes) {
        SCOPED_TRACE(k.set);
        TempDir dir;
        const std::string file = Wave(
            Fmt + Chunk("LIST", "INFO" + Chunk("INAM", "Title\0"s) + Chunk("ICMT", "Note\0"s)) +
            Data);
        const std::string path = dir.Write("take.wav", file);
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
            const int fd = open(path.c_str(), O_WRONLY);
            EXPECT_EQ(pwrite(fd, "\x55", 1, 57), 1); // in the INAM value
            close(fd);
        });
        const RunResult r = RunCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                        "inject=" + k.call + ":delay_enter=2000000:when=1",
                                        SONDREL_BINARY, "--set", k.set, path});
        other.join();
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(ParseLine(r.out)["reason"], k.reason);
        std::string expected = file;
        expected[57] = '\x55';
        EXPECT_TRUE(ReadWholeFile(path) == expected);
        EXPECT_TRUE(Leftovers(dir, {"take.wav"}).empty());
    }
}

} // namespace
