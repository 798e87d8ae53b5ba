// --html FILE: the usage errors and the exit statuses of the page beside
// --json and from saved records (tests/report/browser.sh opens the pages).
#include "run_tool.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

using namespace wavgen;

namespace
{

TEST(HtmlReport, StatusesAndMessagesOfTheTwoWaysToMakeIt)
{
    TempDir dir;
    const std::string wav =
        dir.Write("a.wav", Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", "abcd")));
    const std::string good = RunSondrel({"--json", wav}).out;
    dir.Write("good.jsonl", good);
    dir.Write("mixed.jsonl", "\n" + good + "not json\n" + good);
    const std::string page = dir.path() + "/r.html";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        bool written; // the page is there afterwards
    };
    for (const auto& c : std::vector<Case>{
             {{"--json", "--html", page, wav}, 0, "", true},
             {{"--html", page, "--records", dir.path() + "/good.jsonl"}, 0, "", true},
             {{"--html", page, "--records", dir.path() + "/mixed.jsonl"},
              1,
              "sondrel: Warning: " + dir.path() +
                  "/mixed.jsonl: not an inspection record at line 3 (1 in all)\n",
              true},
             {{"--html", page, "--records", dir.path() + "/none.jsonl"},
              2,
              "sondrel: Error: Can't read the records " + dir.path() +
                  "/none.jsonl: No such file or directory\n",
              false},
             {{"--json", "--html", dir.path() + "/no/r.html", wav},
              2,
              "sondrel: Error: Can't write the report " + dir.path() +
                  "/no/r.html: No such file or directory\n",
              false},
             {{"--records", "x"}, 2, "sondrel: Error: --records needs --html\n", false},
             {{"--html", page, "--records", "x", "--md5"},
              2,
              "sondrel: Error: --records cannot be combined with --md5\n",
              false},
             {{"--html", page, "--records", "x", wav},
              2,
              "sondrel: Error: --records reads no audio file: a report is made from the "
              "records alone\n",
              false},
             {{"--json", "--html", "-", wav},
              2,
              "sondrel: Error: --json writes its records to standard output: --html needs a "
              "file name\n",
              false},
             {{"--csv", "--html", "-", wav},
              2,
              "sondrel: Error: --csv writes its rows to standard output: --html needs a file name\n",
              false},
             {{"--json", wav, "--html"}, 2, "sondrel: Error: --html needs a file name\n", false},
             {{"--records", "x", "--repair", wav, page},
              2,
              "sondrel: Error: --repair cannot be combined with --records\n",
              false},
             {{"--html", page, wav},
              1,
              "sondrel: Error: --html needs --json, --csv or --records\n",
              false},
         }) {
        std::remove(page.c_str());
        const RunResult run = RunSondrel(c.args);
        std::string args;
        for (const auto& a : c.args)
            args += a + " ";
        EXPECT_EQ(run.status, c.status) << args;
        EXPECT_EQ(run.err, c.err) << args;
        EXPECT_EQ(!ReadWholeFile(page).empty(), c.written) << args;
        // Nothing is inspected after a usage error or an unwritable page.
        EXPECT_EQ(run.out, c.args[0] == "--json" && c.status == 0 ? good : "") << args;
    }
}

} // namespace
