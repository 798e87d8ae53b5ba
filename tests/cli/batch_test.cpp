// The inspector over batches: names from the command line and from lists,
// trees walked under --recursive, the exit statuses, and what a terminal sees.
#include "record_shape.h"
#include "run_tool.h"
#include "wav_builder.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace wavgen;
using namespace std::string_literals;

namespace
{

const std::string Good = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abcd"));
const std::string Warned = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abc"));

// The records of a run, each its path and, after ": ", its error, joined by "|".
std::string Records(const RunResult& run)
{
    std::string all;
    for (const auto& r : ParseRecords(run.out)) {
        all += all.empty() ? "" : "|";
        all += r["path"].get<std::string>();
        all += r["error"].is_null() ? "" : ": " + r["error"].get<std::string>();
    }
    return all;
}

struct BatchCase {
    std::string args;    // split at blanks, after "--json" unless it starts with "! "
    std::string records; // as Records() gives them
    int status = 0;
    std::string err = "";
    std::string list = ""; // standard input
    std::vector<std::string> env = {};
};

// Runs each case in `dir`; false when the program could not be run as asked.
bool ExpectBatchCases(const TempDir& dir, const std::vector<BatchCase>& cases,
                      Surroundings around = {})
{
    for (const BatchCase& c : cases) {
        SCOPED_TRACE(c.args);
        std::istringstream words(c.args.starts_with("! ") ? c.args.substr(2) : "--json " + c.args);
        std::vector<std::string> args;
        for (std::string word; words >> word;)
            args.push_back(word);
        around.input = dir.Write("stdin", c.list);
        around.folder = dir.path();
        const RunResult run = RunSondrel(args, Stdout::Capture, c.env, around);
        if (run.status == 126)
            return false;
        EXPECT_EQ(Records(run), c.records);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.err);
    }
    return true;
}

const std::string Missing = ": Can't open file for reading: No such file or directory";

// One folder for the tables: good, warned and not-WAVE files, names with
// every kind of byte, a tree to walk with links and a FIFO in it, lists.
void MakeBatchFolder(const TempDir& dir)
{
    for (const char* d : {"folder", "t", "t/a", "t/d.wav", "t/empty"})
        mkdir((dir.path() + "/" + d).c_str(), 0755);
    for (const char* f :
         {"good.wav", "folder/good.wav", "-dash.wav", "new\nline.wav", "tab\t.wav", "quote\".wav",
          "\xff.wav", "cr.wav\r", "t/.hidden.wav", "t/.wav", "t/B.WAV", "t/a/x.Bwf", "t/a.wav",
          "t/a0.rf64", "t/d.wav/y.wav", "t/\xff.RF64", "t/nope.wave", "t/nope.wav.txt"})
        dir.Write(f, Good);
    dir.Write("warned.wav", Warned);
    dir.Write("bad.wav", "not a wave file");
    dir.Write("empty.wav", "");
    dir.Write("list", "good.wav\n");
    dir.Write("junk", std::string(70000, 'x') + "\ngood.wav\n");
    for (const auto& [target, link] : std::vector<std::pair<const char*, const char*>>{
             {"a.wav", "link.wav"}, {"a", "linkdir"}, {".", "loop"}, {"self.wav", "self.wav"}})
        EXPECT_EQ(symlink(target, (dir.path() + "/t/" + link).c_str()), 0);
    EXPECT_EQ(mkfifo((dir.path() + "/t/pipe.wav").c_str(), 0644), 0);
    EXPECT_EQ(mkfifo((dir.path() + "/fifo.wav").c_str(), 0644), 0);
}

TEST(BatchNames, ListedAfterTheCommandLineWhateverTheirBytesAndFailingLists)
{
    TempDir dir;
    MakeBatchFolder(dir);
    const std::string nul = "-dash.wav\0new\nline.wav\0tab\t.wav\0quote\".wav\0\xff.wav\0"s;
    ExpectBatchCases(
        dir,
        {
            // NUL ends a name: any other byte is part of it; empty names skipped.
            {"-0 --files-from -", "-dash.wav|new\nline.wav|tab\t.wav|quote\".wav|\xc3\xbf.wav", 0,
             "", nul},
            {"-0 --files-from -", "tab\t.wav", 0, "", "\0\0tab\t.wav\0\0"s},
            // LF: empty lines skipped, the last may be unterminated, a CR is kept.
            {"--files-from -", "tab\t.wav|quote\".wav", 0, "", "\n\ntab\t.wav\n\nquote\".wav"},
            {"--files-from -", "cr.wav\r|tab\t.wav\r" + Missing, 2, "", "cr.wav\r\ntab\t.wav\r\n"},
            // The command line first; after -- a name may start with a dash.
            {"--files-from - -- -dash.wav --json", "-dash.wav|--json" + Missing + "|quote\".wav", 2,
             "", "quote\".wav\n"},
            // Lists that cannot be read, after the names read whole before.
            {"--files-from nolist good.wav",
             "good.wav|nolist: Can't read file list: No such file or directory", 2},
            {"--files-from folder", "folder: Can't read file list: Is a directory", 2},
            {"--files-from -", "good.wav|-: Can't read file list: Input/output error", 2, "",
             "good.wav\ngood.wav\n", ReadFailsAt(11, 0)},
            // A name longer than any path is cut, and the list goes on.
            {"--files-from junk",
             std::string(65536, 'x') + ": Can't open file for reading: File name too long|good.wav",
             2},
        });
}

TEST(BatchWalk, SortedAsBytesJoinedByOneSlashOnlyAudioFilesNoLinks)
{
    TempDir dir;
    MakeBatchFolder(dir);
    const auto tree = [](const std::string& root) {
        std::string all;
        for (const char* p : {".hidden.wav", ".wav", "B.WAV", "a/x.Bwf", "a.wav", "a0.rf64",
                              "d.wav/y.wav", "\xc3\xbf.RF64"})
            all += "|" + root + p;
        return all.substr(1);
    };
    ExpectBatchCases(dir, {
                              {"--recursive t", tree("t/")},
                              {"--recursive t/", tree("t/")},
                              {"--recursive t//", tree("t//")},
                              // A link named is followed; a file named is inspected.
                              {"--recursive t/linkdir t/d.wav t/nope.wave",
                               "t/linkdir/x.Bwf|t/d.wav/y.wav|t/nope.wave"},
                          });
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
    const std::string denied = ": Can't read directory: Permission denied";
    Surroundings around;
    around.asNobody = true; // root reads anything
    const bool ran = ExpectBatchCases(
        dir,
        {
            {"--recursive u",
             "u/a/1.wav|u/b" + denied +
                 "|u/c/3.wav|u/d.wav: Can't open file for reading: " + "Permission denied",
             2},
            {"--recursive u/b u/c", "u/b" + denied + "|u/c/3.wav", 2},
        },
        around);
    chmod((dir.path() + "/u/b").c_str(), 0755);
    if (!ran)
        GTEST_SKIP() << "cannot run the program as an ordinary user here";
}

TEST(BatchStatus, ZeroOneOrTwoAndUsageErrors)
{
    TempDir dir;
    MakeBatchFolder(dir);
    const std::string notWave = ": Not a WAVE file",
                      needJson = "sondrel: Error: --recursive, --files-from and -0 need --json\n";
    ExpectBatchCases(
        dir,
        {
            {"good.wav warned.wav", "good.wav|warned.wav", 0},
            {"good.wav bad.wav", "good.wav|bad.wav" + notWave, 1},
            {"empty.wav /dev/null", "empty.wav" + notWave + "|/dev/null" + notWave, 1},
            {"bad.wav missing.wav", "bad.wav" + notWave + "|missing.wav" + Missing, 2},
            {"folder", "folder: Can't read file: Is a directory", 2},
            {"fifo.wav", "fifo.wav: Can't read file: Illegal seek", 2},
            {"--recursive folder", "folder/good.wav", 0},
            {"--files-from list --files-from /dev/null", "good.wav", 0},
            // Usage errors: nothing is inspected.
            {"--bogus good.wav", "", 2, "Unknown option '--bogus'\n"},
            {"! --bogus --json good.wav", "", 2, "Unknown option '--bogus'\n"},
            {"- good.wav", "", 2, "Unknown option '-'\n"},
            {"--chunks good.wav", "", 2,
             "sondrel: Error: --json cannot be combined with --chunks\n"},
            {"good.wav --files-from", "", 2, "sondrel: Error: --files-from needs a file name\n"},
            {"-0 good.wav", "", 2, "sondrel: Error: -0 needs --files-from\n"},
            {"--recursive", "", 2, "sondrel: Error: No audio file specified\n"},
            // The text modes keep their statuses: no --json among the options.
            {"! --md5 good.wav", "", 1, "sondrel: Error: --md5 and --loudness need --json\n"},
            {"! --recursive good.wav", "", 1, needJson},
            {"! --files-from --json good.wav", "", 1, needJson},
            {"! -- --json good.wav", "", 1, "Unknown option '--'\n"},
        });
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
    std::string path = "deep", before, after;
    for (int depth = 0; depth <= 1100; depth++) {
        const char* name = depth == 0 ? "deep" : level;
        ASSERT_EQ(mkdirat(fd, name, 0755), 0) << depth;
        const int next = openat(fd, name, O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        path += depth == 0 ? "" : "/"s + level;
        if (depth % 100 == 0 && depth > 0) {
            WriteAt(fd, "a.wav", Good);
            before += path + "/a.wav|";
        }
        if (depth % 100 == 50) {
            WriteAt(fd, "z.wav", Good);
            after = "|" + path + "/z.wav" + after;
        }
    }
    close(fd);
    Surroundings around;
    around.fileLimit = 64;
    ExpectBatchCases(dir, {{"--recursive deep", before.substr(0, before.size() - 1) + after}},
                     around);
    EXPECT_GT(path.size(), 12000u);
}

// Standard error is empty elsewhere: every case above checks it.
TEST(BatchTerminal, ProgressAndASummaryWhenStandardErrorIsATerminal)
{
    const int probe = posix_openpt(O_RDWR | O_NOCTTY);
    if (probe < 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    close(probe);
    TempDir dir;
    MakeBatchFolder(dir);
    Surroundings around;
    around.errTerminal = true;
    around.folder = dir.path();
    const std::string erase = "\r\033[K"; // redrawn at most ten times a second
    for (const auto& [args, progress, summary] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
             {{"good.wav", "warned.wav", "bad.wav", "missing.wav"},
              "1 of 4 files",
              "4 files: 1 clean, 1 with warnings, 1 with errors, 1 unreadable\nsondrel: "
              "not-wave (error): 1 file\nsondrel: partial-frame (warning): 1 file\n"},
             {{"--recursive", "folder"},
              "1 file so far",
              "1 file: 1 clean, 0 with warnings, 0 with errors, 0 unreadable\n"}}) {
        std::vector<std::string> json = {"--json"};
        json.insert(json.end(), args.begin(), args.end());
        const RunResult run = RunSondrel(json, Stdout::Capture, {}, around);
        EXPECT_TRUE(run.err.starts_with(erase + "sondrel: " + progress)) << run.err;
        EXPECT_TRUE(run.err.ends_with(erase + "sondrel: " + summary)) << run.err;
    }
}

// A name that would retitle the terminal and turn it red: what reaches the
// terminal has no control byte but the line's own erase, and fits its width.
TEST(BatchTerminal, NamesShownSafelyWithinTheWidth)
{
    TempDir dir;
    dir.Write("a name long enough to pass forty columns\033]0;title\007\033[31m.wav", Good);
    Surroundings around;
    around.folder = dir.path();
    const std::string command = std::string("stty cols 40; ") + SONDREL_BINARY + " --json --md5 a*";
    const RunResult run = RunCommand({"script", "-qec", command + " >/dev/null", "/dev/null"},
                                     Stdout::Capture, {}, around);
    if (run.status == 127)
        GTEST_SKIP() << "script (util-linux) is not installed";
    // The line's own erase and the terminal's line ends, as '|'.
    std::string shown;
    for (size_t at = 0; at < run.out.size();) {
        const size_t mark = run.out.compare(at, 4, "\r\033[K") == 0 ? 4
                            : run.out.compare(at, 2, "\r\n") == 0   ? 2
                                                                      : 0;
        shown += mark ? '|' : run.out[at];
        at += mark ? mark : 1;
    }
    for (const char c : shown)
        EXPECT_TRUE(c >= 0x20 && c != 0x7F) << static_cast<int>(c);
    EXPECT_TRUE(shown.starts_with("|sondrel: ...tle??[31m.wav: 4 of 4 bytes|")) << shown;
}

} // namespace
