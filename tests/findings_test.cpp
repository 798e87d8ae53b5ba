// The findings table is the one source of every code's text and severity:
// each code must be documented with that severity in the README's table and
// the man page, and records must carry exactly the table's texts.

// g++ 12 warns falsely inside <regex> when it optimises with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "inspect/findings.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace
{

constexpr Code LastCode = Code::CodingHistoryMismatch;

std::vector<Code> AllCodes()
{
    std::vector<Code> codes;
    for (int n = 0; n <= static_cast<int>(LastCode); n++)
        codes.push_back(static_cast<Code>(n));
    return codes;
}

// "code" -> "severity" as a document lists them.
std::map<std::string, std::string> Documented(const std::string& text, const std::regex& row)
{
    std::map<std::string, std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), row);
         it != std::sregex_iterator(); ++it) {
        std::string code = (*it)[1];
        code.erase(std::remove(code.begin(), code.end(), '\\'), code.end());
        found.emplace(code, (*it)[2]);
    }
    return found;
}

TEST(FindingTable, EveryCodeDocumentedWithItsSeverity)
{
    const std::string source = SONDREL_SOURCE_DIR;
    const struct {
        const char* document;
        std::regex row;
    } docs[] = {
        {"/README.md", std::regex(R"(\n\| `([a-z0-9-]+)` \| (error|warning|info) \|)")},
        {"/doc/sondrel.1", std::regex(R"re(\n\.BR ([a-z0-9\\-]+) " \((error|warning|info)\)")re")},
    };
    std::set<std::string> texts;
    for (const auto& d : docs) {
        const auto listed = Documented(ReadWholeFile(source + d.document), d.row);
        for (Code code : AllCodes()) {
            const FindingKind& k = KindOf(code);
            SCOPED_TRACE(std::string(d.document) + ": " + k.text);
            EXPECT_EQ(k.code, code);
            ASSERT_TRUE(listed.count(k.text));
            EXPECT_EQ(listed.at(k.text), SeverityText(k.severity));
            texts.insert(k.text);
        }
        EXPECT_EQ(listed.size(), texts.size()) << d.document << " lists a code the table lacks";
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
