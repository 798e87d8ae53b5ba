// The inspector over batches: names from the command line and from lists,
// trees walked under --recursive, the exit statuses, and what a terminal sees.
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;
using namespace std::string_literals;

namespace
{

const std::string Good = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abcd"));
const std::string Warned = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abc"));
const std::string Missing = ": Can't open file for reading: No such file or directory";

// Each record as its path, followed by ": " and the reason when it has one.
std::vector<std::string> Lines(const RunResult& run)
{
    std::vector<std::string> lines;
    for (const auto& r : ParseRecords(run.out))
        lines.push_back(r["path"].get<std::string>() +
                        (r["error"].is_null() ? "" : ": " + r["error"].get<std::string>()));
    return lines;
}

RunResult InspectIn(const TempDir& dir, std::vector<std::string> args,
                    const std::vector<std::string>& env = {}, Surroundings around = {})
{
    around.folder = dir.path();
    args.insert(args.begin(), "--json");
    return RunSondrel(args, Stdout::Capture, env, around);
}

struct ListCase {
    const char* what;
    std::string list; // standard input
    std::vector<std::string> args;
    std::vector<std::string> lines;
    int status = 0;
    std::vector<std::string> env = {};
};

void ExpectListCases(const TempDir& dir, const std::vector<ListCase>& cases)
{
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.what);
        Surroundings around;
        around.input = dir.Write("stdin", c.list);
        const RunResult run = InspectIn(dir, c.args, c.env, around);
        EXPECT_EQ(Lines(run), c.lines);
        EXPECT_EQ(run.status, c.status);
    }
}

TEST(BatchNames, ListedNamesComeAfterTheCommandLineWhateverTheirBytes)
{
    TempDir dir;
    for (const char* name :
         {"-dash.wav", "new\nline.wav", "tab\t.wav", "quote\".wav", "\xff.wav", "cr.wav\r"})
        dir.Write(name, Good);
    const std::vector<std::string> nul = {"-0", "--files-from", "-"}, lf = {"--files-from", "-"};
    ExpectListCases(
        dir, {
                 {"NUL ends a name: any other byte is part of it",
                  "-dash.wav\0new\nline.wav\0tab\t.wav\0quote\".wav\0\xff.wav\0"s,
                  nul,
                  {"-dash.wav", "new\nline.wav", "tab\t.wav", "quote\".wav", "\xc3\xbf.wav"}},
                 {"empty NUL names are skipped", "\0\0tab\t.wav\0\0"s, nul, {"tab\t.wav"}},
                 {"LF: empty lines skipped, the last one unterminated",
                  "\n\ntab\t.wav\n\nquote\".wav",
                  lf,
                  {"tab\t.wav", "quote\".wav"}},
                 {"LF: a CR is part of the name",
                  "cr.wav\r\ntab\t.wav\r\n",
                  lf,
                  {"cr.wav\r", "tab\t.wav\r" + Missing},
                  2},
                 {"the command line first; after -- a name may start with a dash",
                  "quote\".wav\n",
                  {"--files-from", "-", "--", "-dash.wav", "--json"},
                  {"-dash.wav", "--json" + Missing, "quote\".wav"},
                  2},
             });
}

TEST(BatchNames, AListThatCannotBeReadEndsWithAnErrorRecord)
{
    TempDir dir;
    dir.Write("a.wav", Good);
    dir.Write("junk", std::string(70000, 'x') + "\na.wav\n");
    mkdir((dir.path() + "/folder").c_str(), 0755);
    ExpectListCases(
        dir, {
                 {"missing",
                  "",
                  {"--files-from", "nolist", "a.wav"},
                  {"a.wav", "nolist: Can't read file list: No such file or directory"},
                  2},
                 {"a folder",
                  "",
                  {"--files-from", "folder"},
                  {"folder: Can't read file list: Is a directory"},
                  2},
                 {"failing halfway: the names read whole before are inspected",
                  "a.wav\na.wav\n",
                  {"--files-from", "-"},
                  {"a.wav", "-: Can't read file list: Input/output error"},
                  2,
                  ReadFailsAt(8, 0)},
                 {"a name longer than any path is cut, and the list goes on",
                  "",
                  {"--files-from", "junk"},
                  {std::string(65536, 'x') + ": Can't open file for reading: File name too long",
                   "a.wav"},
                  2},
             });
}

TEST(BatchWalk, SortedAsBytesJoinedByOneSlashOnlyAudioFilesNoLinks)
{
    TempDir dir;
    const std::string t = dir.path() + "/t";
    for (const char* d : {"", "/a", "/d.wav", "/empty"})
        mkdir((t + d).c_str(), 0755);
    for (const char* f : {".hidden.wav", ".wav", "B.WAV", "a/x.Bwf", "a.wav", "a0.rf64",
                          "d.wav/y.wav", "\xff.RF64", "nope.wave", "nope.wav.txt"})
        dir.Write("t/"s + f, Good);
    ASSERT_EQ(symlink("a.wav", (t + "/link.wav").c_str()), 0);
    ASSERT_EQ(symlink("a", (t + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink(".", (t + "/loop").c_str()), 0);
    ASSERT_EQ(symlink("self.wav", (t + "/self.wav").c_str()), 0);
    ASSERT_EQ(mkfifo((t + "/pipe.wav").c_str(), 0644), 0);
    const std::vector<std::string> tree = {".hidden.wav", ".wav",         "B.WAV",
                                           "a/x.Bwf",     "a.wav",        "a0.rf64",
                                           "d.wav/y.wav", "\xc3\xbf.RF64"};
    const auto under = [&](const std::string& root) {
        std::vector<std::string> paths;
        for (const std::string& p : tree)
            paths.push_back(root + p);
        return paths;
    };
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"t"}, under("t/")},
        {{"t/"}, under("t/")},
        {{"t//"}, under("t//")},
        {{"t/linkdir", "t/d.wav", "t/nope.wave"},
         {"t/linkdir/x.Bwf", "t/d.wav/y.wav", "t/nope.wave"}},
    };
    for (const auto& [roots, lines] : cases) {
        std::vector<std::string> args = {"--recursive"};
        args.insert(args.end(), roots.begin(), roots.end());
        const RunResult run = InspectIn(dir, args);
        EXPECT_EQ(Lines(run), lines) << roots[0];
        EXPECT_EQ(run.status, 0) << roots[0];
    }
}

TEST(BatchWalk, UnreadableFoldersAndFilesAreRecordedAndTheWalkGoesOn)
{
    TempDir dir;
    umask(022);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const char* d : {"u", "u/a", "u/b", "u/c"})
        mkdir((dir.path() + "/" + d).c_str(), 0755);
    for (const char* f : {"u/a/1.wav", "u/b/2.wav", "u/c/3.wav", "u/d.wav"})
        dir.Write(f, Good);
    ASSERT_EQ(chmod((dir.path() + "/u/b").c_str(), 0), 0);
    ASSERT_EQ(chmod((dir.path() + "/u/d.wav").c_str(), 0), 0);
    const std::string denied = "Permission denied";
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"u"},
         {"u/a/1.wav", "u/b: Can't read directory: " + denied, "u/c/3.wav",
          "u/d.wav: Can't open file for reading: " + denied}},
        {{"u/b", "u/c"}, {"u/b: Can't read directory: " + denied, "u/c/3.wav"}},
    };
    Surroundings around;
    around.asNobody = true; // root reads anything
    for (const auto& [roots, lines] : cases) {
        std::vector<std::string> args = {"--recursive"};
        args.insert(args.end(), roots.begin(), roots.end());
        const RunResult run = InspectIn(dir, args, {}, around);
        if (run.status == 126)
            GTEST_SKIP() << "cannot run the program as an ordinary user here";
        EXPECT_EQ(Lines(run), lines) << roots[0];
        EXPECT_EQ(run.status, 2) << roots[0];
    }
    chmod((dir.path() + "/u/b").c_str(), 0755);
}

void WriteAt(int dirfd, const char* name, const std::string& bytes)
{
    const int fd = openat(dirfd, name, O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// 1,100 levels under a limit of 64 descriptors, paths of 12,000 bytes: the
// files after each subfolder are opened in folders closed and reopened.
TEST(BatchWalk, DeeperThanTheDescriptorLimitAndLongerThanPathMax)
{
    TempDir dir;
    const char* level = "m123456789"; // after a.wav, before z.wav
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = "deep";
    std::vector<std::string> expected, after;
    for (int depth = 0; depth <= 1100; depth++) {
        const char* name = depth == 0 ? "deep" : level;
        ASSERT_EQ(mkdirat(fd, name, 0755), 0) << depth;
        const int next = openat(fd, name, O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        path += depth == 0 ? "" : "/"s + level;
        if (depth % 100 == 0 && depth > 0) {
            WriteAt(fd, "a.wav", Good);
            expected.push_back(path + "/a.wav");
        }
        if (depth % 100 == 50) {
            WriteAt(fd, "z.wav", Good);
            after.insert(after.begin(), path + "/z.wav");
        }
    }
    close(fd);
    expected.insert(expected.end(), after.begin(), after.end());
    Surroundings around;
    around.fileLimit = 64;
    const RunResult run = InspectIn(dir, {"--recursive", "deep"}, {}, around);
    EXPECT_EQ(Lines(run), expected);
    EXPECT_EQ(run.status, 0);
    EXPECT_GT(path.size(), 12000u);
}

TEST(BatchStatus, ZeroOneOrTwoAndUsageErrors)
{
    TempDir dir;
    for (const auto& [name, bytes] :
         std::vector<std::pair<std::string, std::string>>{{"good.wav", Good},
                                                          {"warned.wav", Warned},
                                                          {"bad.wav", "not a wave file"},
                                                          {"empty.wav", ""},
                                                          {"folder/good.wav", Good},
                                                          {"list", "good.wav\n"}}) {
        mkdir((dir.path() + "/folder").c_str(), 0755); // before its file
        dir.Write(name, bytes);
    }
    ASSERT_EQ(mkfifo((dir.path() + "/fifo.wav").c_str(), 0644), 0);
    struct Case {
        std::vector<std::string> args; // "--json" first unless the case starts with "!"
        int status;
        size_t records;
        std::string err = "";
    };
    const std::string needJson = "sondrel: Error: --recursive, --files-from and -0 need --json\n";
    const std::vector<Case> cases = {
        {{"good.wav", "warned.wav"}, 0, 2},
        {{"good.wav", "bad.wav"}, 1, 2},
        {{"empty.wav", "/dev/null"}, 1, 2},
        {{"bad.wav", "missing.wav"}, 2, 2},
        {{"folder"}, 2, 1},
        {{"fifo.wav"}, 2, 1},
        {{"--recursive", "folder"}, 0, 1},
        {{"--files-from", "list", "--files-from", "/dev/null"}, 0, 1},
        {{"--files-from", "nolist"}, 2, 1},
        {{"--bogus", "good.wav"}, 2, 0, "Unknown option '--bogus'\n"},
        {{"!", "--bogus", "--json", "good.wav"}, 2, 0, "Unknown option '--bogus'\n"},
        {{"-", "good.wav"}, 2, 0, "Unknown option '-'\n"},
        {{"--chunks", "good.wav"},
         2,
         0,
         "sondrel: Error: --json cannot be combined with --chunks\n"},
        {{"good.wav", "--files-from"}, 2, 0, "sondrel: Error: --files-from needs a file name\n"},
        {{"-0", "good.wav"}, 2, 0, "sondrel: Error: -0 needs --files-from\n"},
        {{"--recursive"}, 2, 0, "sondrel: Error: No audio file specified\n"},
        // The text modes keep their statuses: no --json among the options.
        {{"!", "--md5", "good.wav"}, 1, 0, "sondrel: Error: --md5 and --loudness need --json\n"},
        {{"!", "--recursive", "good.wav"}, 1, 0, needJson},
        {{"!", "--files-from", "--json", "good.wav"}, 1, 0, needJson},
        {{"!", "--", "--json", "good.wav"}, 1, 0, "Unknown option '--'\n"},
    };
    for (Case c : cases) {
        Surroundings around;
        around.folder = dir.path();
        if (c.args[0] == "!")
            c.args.erase(c.args.begin());
        else
            c.args.insert(c.args.begin(), "--json");
        const RunResult run = RunSondrel(c.args, Stdout::Capture, {}, around);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(ParseRecords(run.out).size(), c.records);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(BatchTerminal, ProgressAndASummaryOnlyWhenStandardErrorIsATerminal)
{
    TempDir dir;
    dir.Write("good.wav", Good);
    dir.Write("warned.wav", Warned);
    dir.Write("bad.wav", "not a wave file");
    const std::string erase = "\r\033[K";
    // Redrawn at most ten times a second: the first file, maybe more, then
    // the line erased and the summary.
    const std::vector<std::tuple<std::vector<std::string>, bool, std::string, std::string>> cases =
        {
            {{"good.wav", "warned.wav", "bad.wav", "missing.wav"},
             true,
             "sondrel: 1 of 4 files",
             "sondrel: 4 files: 1 clean, 1 with warnings, 1 with errors, 1 unreadable\n"},
            {{"--recursive", "."},
             true,
             "sondrel: 1 file so far",
             "sondrel: 3 files: 1 clean, 1 with warnings, 1 with errors, 0 unreadable\n"},
            {{"good.wav", "warned.wav"}, false, "", ""},
        };
    for (const auto& [args, terminal, progress, summary] : cases) {
        Surroundings around;
        around.errTerminal = terminal;
        const RunResult run = InspectIn(dir, args, {}, around);
        if (!terminal) {
            EXPECT_EQ(run.err, "");
            continue;
        }
        EXPECT_TRUE(run.err.starts_with(erase + progress)) << run.err;
        EXPECT_TRUE(run.err.ends_with(erase + summary)) << run.err;
    }
}

} // namespace
