// Tables in and out: what spreadsheets write is read back cell for cell.
#include "csv.h"

#include <gtest/gtest.h>

using namespace sondrel;

namespace
{

using Rows = std::vector<std::vector<std::string>>;

TEST(Csv, ReadsWhatSpreadsheetsWrite)
{
    const struct {
        std::string text;
        Rows rows;
    } cases[] = {
        {"\xEF\xBB\xBFpath,a\r\nx.wav,1\r\n", {{"path", "a"}, {"x.wav", "1"}}},
        {"path,a\nx.wav,\n", {{"path", "a"}, {"x.wav", ""}}},
        {"a,b\r\n\"1,\"\"2\"\"\r\n3\",\"\"\r\n", {{"a", "b"}, {"1,\"2\"\r\n3", ""}}},
        {"a\r\nno line end", {{"a"}, {"no line end"}}},
        {"a,b\r\n\"\"", {{"a", "b"}, {""}}},
        {"it's,\"x\"\n", {{"it's", "x"}}},
    };
    for (const auto& c : cases) {
        Rows rows;
        EXPECT_EQ(ParseCsv(c.text, rows), "") << c.text;
        EXPECT_EQ(rows, c.rows) << c.text;
    }
    Rows rows;
    EXPECT_EQ(ParseCsv("a\r\n\"open", rows), "a quote is left open");
    EXPECT_NE(ParseCsv("a\r\n\"x\"y\r\n", rows), "");
}

TEST(Csv, WritesWhatItReadsAndGuardsFormulas)
{
    const std::vector<std::string> row = {"plain", "a,b",       "say \"hi\"", "two\nlines",
                                          "=1+1",  "-3 dB",     "'quoted",    "@home",
                                          "\tTab", "Grüße 東京"};
    std::vector<std::string> guarded;
    for (const std::string& cell : row)
        guarded.push_back(Guard(cell));
    Rows rows;
    ASSERT_EQ(ParseCsv(CsvLine(guarded), rows), "");
    ASSERT_EQ(rows.size(), 1u);
    for (size_t i = 0; i < row.size(); i++) {
        EXPECT_EQ(Unguard(rows[0][i]), row[i]);
        EXPECT_EQ(rows[0][i] != row[i], std::string("=-'@\t").find(row[i][0]) != std::string::npos);
    }
    EXPECT_EQ(Unguard("'plain"), "'plain"); // a quote the guard did not add stays
    std::string bytes;
    EXPECT_TRUE(FromBase64("Y2Fm6Q==", bytes));
    EXPECT_EQ(bytes, "caf\xE9");
    EXPECT_FALSE(FromBase64("Y2Fm6Q=", bytes));
}

} // namespace
