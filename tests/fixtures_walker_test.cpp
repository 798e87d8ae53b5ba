// The chunk lists of real files written by independent tools.
#include "facts.h"
#include "lines.h"
#include "run_tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace
{

// The summary an independent reader's chunk list implies: RF64/BW64 "data"
// is listed with the ds64 data size, everything else with its size field.
std::string ExpectedSummary(const nlohmann::json& walker)
{
    const bool rf64 = walker["magic"] != "RIFF";
    unsigned long long ds64Size = 0;
    std::string out;
    for (const auto& c : walker["chunks"]) {
        const std::string id = c["id"];
        unsigned long long listed = c["size_field"];
        if (rf64 && id == "data")
            listed = ds64Size;
        out += SummaryLine(id.c_str(), listed);
        if (c.contains("ds64"))
            ds64Size = c["ds64"]["data_size"];
    }
    return out;
}

TEST(Fixtures, Md5HelperMatchesPublishedDigests)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(
        Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Fixtures, ChunkSummaryMatchesIndependentReaders)
{
    const Fixtures fixtures = LoadFixtures();
    ASSERT_GE(fixtures.listed["files"].size(), 20u);
    for (const auto& file : fixtures.present) {
        const std::string name = file["file"];
        RunResult r = RunSondrel({FixturePath(name)});
        EXPECT_EQ(r.out, ExpectedSummary(file["walker"])) << name;
        EXPECT_EQ(r.err, "+OK\n") << name;
        EXPECT_EQ(r.status, 0) << name;
    }
}

} // namespace
