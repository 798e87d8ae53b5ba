// The findings table is the one source of every code's text and severity:
// each code must be documented with that severity in the guide's table and
// the man page, and records must carry exactly the table's texts.

#include "inspect/findings.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

using namespace sondrel;

namespace
{

// "code" -> "severity" from the lines of a document that begin with
// `lead`, the code then standing up to `middle` and the severity up to `tail`.
std::map<std::string, std::string> Documented(const std::string& text, const std::string& lead,
                                              const std::string& middle, const std::string& tail)
{
    std::map<std::string, std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t mid = line.find(middle, lead.size());
        const size_t end = mid == std::string::npos ? mid : line.find(tail, mid + middle.size());
        if (line.rfind(lead, 0) != 0 || end == std::string::npos)
            continue;
        std::string code = line.substr(lead.size(), mid - lead.size());
        code.erase(std::remove(code.begin(), code.end(), '\\'), code.end()); // roff's "\-"
        found.emplace(code, line.substr(mid + middle.size(), end - mid - middle.size()));
    }
    return found;
}

TEST(FindingTable, EveryCodeDocumentedWithItsSeverity)
{
    const std::string source = SONDREL_SOURCE_DIR;
    const struct {
        const char *document, *lead, *middle, *tail;
    } docs[] = {
        {"/doc/guide.md", "| `", "` | ", " |"},
        {"/doc/sondrel.1", ".BR ", " \" (", ")\""},
    };
    for (const auto& d : docs) {
        auto listed = Documented(ReadWholeFile(source + d.document), d.lead, d.middle, d.tail);
        std::erase_if(listed, [](const auto& row) {
            return row.second != "error" && row.second != "warning" && row.second != "info";
        });
        for (const FindingKind& k : AllFindingKinds()) {
            SCOPED_TRACE(std::string(d.document) + ": " + k.text);
            EXPECT_EQ(&KindOf(k.code), &k);
            ASSERT_TRUE(listed.count(k.text));
            EXPECT_EQ(listed.at(k.text), SeverityText(k.severity));
        }
        EXPECT_EQ(listed.size(), AllFindingKinds().size())
            << d.document << " lists a code the table lacks";
    }
}

TEST(FindingTable, FileOrderWithWholeFileFindingsLast)
{
    Findings f;
    AddFileFinding(f, Code::RiffSizeMismatch, "a");
    AddChunkFinding(f, Code::PartialFrame, FourCC{'d', 'a', 't', 'a'}, 40, "b");
    AddOffsetFinding(f, Code::TrailingBytes, 90, "c");
    AddChunkFinding(f, Code::DuplicateChunk, FourCC{'f', 'm', 't', ' '}, 12, "d");
    AddFileFinding(f, Code::DataMissing, "e");
    SortFindings(f);
    std::string order;
    for (const Finding& x : f)
        order += x.message;
    EXPECT_EQ(order, "dbcae");
    EXPECT_FALSE(HasErrorFinding(f));
    AddFileFinding(f, Code::Md5Mismatch, "f");
    EXPECT_TRUE(HasErrorFinding(f));
}

} // namespace
