// The report's bounded summary: which rows it keeps, what it counts, which
// lines it takes as records, and the one escape of the page.
#include "report/html_page.h"
#include "report/html_report.h"
#include "report/record_reader.h"
#include "report/run_summary.h"

#include <gtest/gtest.h>

using namespace sondrel;

namespace
{

// A record line with findings "severity:code" and optional extra keys.
std::string Line(const std::string& path, std::vector<std::string> findings,
                 const std::string& status = "ok", const std::string& extra = "")
{
    std::string line = "{\"path\":\"";
    line.append(path).append("\",\"status\":\"").append(status).append("\"");
    line.append(extra).append(",\"findings\":[");
    for (size_t i = 0; i < findings.size(); i++) {
        const size_t colon = findings[i].find(':');
        line.append(i ? "," : "").append("{\"severity\":\"");
        line.append(findings[i].substr(0, colon)).append("\",\"code\":\"");
        line.append(findings[i].substr(colon + 1)).append("\",\"message\":\"m\"}");
    }
    return line.append("]}");
}

RunSummary Summarise(const std::string& lines, size_t maxRows = 3, size_t maxPoints = 2)
{
    RunSummary s(maxRows, maxPoints);
    FILE* in = fmemopen(const_cast<char*>(lines.data()), lines.size(), "r");
    EXPECT_TRUE(ReadRecords(in, s));
    fclose(in);
    return s;
}

TEST(RunSummary, KeepsTheRowsOfErrorsFirstWithinItsCap)
{
    const RunSummary s = Summarise(Line("a", {"info:x"}) + "\n" + Line("b", {"warning:y"}) + "\n" +
                                   Line("c", {"error:z", "warning:y", "warning:y"}) + "\n" +
                                   Line("d", {}) + "\n" + Line("e", {}, "error") + "\n" +
                                   Line("f", {"warning:y"}) + "\n" + Line("g", {"error:z"}));
    std::string kept;
    for (const FileRow& r : s.Rows())
        kept += r.path + ":" + ClassName(r.kind) + " ";
    EXPECT_EQ(kept, "c:error g:error e:unreadable ");
    EXPECT_EQ(s.RowsLeftOut(), 3u); // a, b, f
    EXPECT_EQ(std::make_tuple(s.files, s.clean, s.warnings, s.errors, s.unreadable),
              std::make_tuple(7u, 2u, 2u, 2u, 1u));
    EXPECT_EQ(s.codes.at("y").files, 3u); // files, not findings: c has y twice
    EXPECT_EQ(s.codes.at("y").findings, 4u);
    EXPECT_EQ(s.codes.at("y").severity, "warning");
    EXPECT_EQ(s.severityFiles.at("warning"), 3u);
}

TEST(RunSummary, TakesOnlyRecordsAndSaysWhichLineWasNot)
{
    for (const auto& [lines, files, bad, first] :
         std::vector<std::tuple<std::string, uint64_t, uint64_t, uint64_t>>{
             {Line("a", {}) + "\n\n  \n" + Line("b", {}), 2, 0, 0}, // blank lines, no last LF
             {"[1]\n" + Line("a", {}) + "\n3\n", 1, 2, 1},
             {Line("a", {}) + "\n{}\n{\"path\":\"a\"}\n", 1, 2, 2}, // no path or no status
             {Line("a", {}) + "\n{\"path\":\"a\",\"status\":\"ok\"", 1, 1, 2}, // cut short
             {std::string("\xFF\n") + Line("a", {}), 1, 1, 1},
             // deep, and held no deeper than the page looks
             {Line("a", {}, "ok", ",\"x\":" + std::string(1000, '[') + std::string(1000, ']')), 1,
              0, 0},
         }) {
        const RunSummary s = Summarise(lines);
        EXPECT_EQ(std::make_tuple(s.files, s.badLines, s.firstBadLine),
                  std::make_tuple(files, bad, first))
            << lines;
    }
}

TEST(RunSummary, ReadsEachValueWhereTheRecordHasIt)
{
    const std::string extra =
        ",\"format\":{\"name\":\"PCM\",\"sample_rate\":48000,\"channels\":2,\"bits_per_sample\":24}"
        ",\"bext\":{\"description\":\"take 1\",\"loudness\":{\"integrated_lufs\":-9}}"
        ",\"audio\":{\"seconds\":1.5},\"loudness_measured\":{\"integrated_lufs\":-23.5,"
        "\"max_true_peak_dbtp\":-2},\"signal\":{\"peak_dbfs\":[]}";
    RecordFacts f;
    ASSERT_TRUE(ParseRecordFacts(Line("a", {"warning:w"}, "ok", extra), f));
    EXPECT_EQ(f.formatName + "/" + f.description, "PCM/take 1");
    EXPECT_EQ(
        std::make_tuple(*f.sampleRate, *f.channels, *f.bits, *f.seconds, *f.lufs, *f.truePeak),
        std::make_tuple(48000.0, 2.0, 24.0, 1.5, -23.5, -2.0));
    ASSERT_EQ(f.findings.size(), 1u);
    EXPECT_EQ(f.findings[0].code, "w");
    EXPECT_TRUE(f.signalMeasured); // null without --signal
}

TEST(RunSummary, BinsLoudnessAndSamplesItsPointsWithinTheirCaps)
{
    std::string lines;
    for (int i = 0; i < 50; i++)
        lines
            .append(Line("p", {}, "ok",
                         std::string(",\"loudness_measured\":{\"integrated_lufs\":") +
                             (i == 0 ? "-80" : "-23.5") + ",\"max_true_peak_dbtp\":-1}"))
            .append("\n");
    const RunSummary s = Summarise(lines);
    EXPECT_EQ(s.Points().size(), 2u);
    EXPECT_EQ(s.PointsSeen(), 50u);
    EXPECT_EQ(s.histogram[static_cast<size_t>(-24 - RunSummary::HistogramLow)], 49u);
    EXPECT_EQ(s.loudnessOutOfRange, 1u);
}

TEST(RunSummary, NumbersNoFileHasMakeAPageAllTheSame)
{
    const RunSummary s = Summarise(Line("a", {}, "ok",
                                        ",\"file_bytes\":1e30,\"audio\":{\"seconds\":1e300},"
                                        "\"loudness_measured\":{\"integrated_lufs\":1e300,"
                                        "\"max_true_peak_dbtp\":-1e308}"));
    EXPECT_EQ(s.bytes, 0u);
    char* page = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&page, &size);
    EXPECT_TRUE(WriteHtmlReport(s, memory));
    fclose(memory);
    EXPECT_LT(size, 100000u); // a scale of a few ticks, not one from -1e308
    free(page);
}

TEST(PageOut, EscapesMarkupAndShowsControlCharactersAsPictures)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    {
        PageOut out(memory);
        out.Text("<a href=\"x\" title='y'>&\x01\n\x7F</a>");
    }
    fclose(memory);
    EXPECT_EQ(std::string(text, size), "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;"
                                       "&#x2401;&#x240A;&#x2421;&lt;/a&gt;");
    free(text);
}

} // namespace
