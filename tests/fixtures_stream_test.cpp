// The audio of real files written by other tools must come out exactly as
// they extract it, and the mono mix as independently computed.
#include "facts.h"
#include "run_tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace
{

// The extraction counts only the bytes a file holds, so a truncated file's
// payload is what is present.
TEST(FixtureStreaming, DataEqualsTheIndependentExtraction)
{
    const Fixtures fixtures = LoadFixtures();
    ASSERT_FALSE(fixtures.present.empty());
    for (const auto& f : fixtures.present) {
        const std::string name = f["file"];
        SCOPED_TRACE(name);
        const auto& payload = f["payload"]["ffmpeg"];
        const RunResult r = RunSondrel({"--data", FixturePath(name)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.size(), payload["bytes"].get<size_t>());
        EXPECT_EQ(Md5Hex(r.out), payload["md5"].get<std::string>());
    }
}

// Files without a mono digest are not integer PCM of 16 bits or more: they
// are refused.
TEST(FixtureStreaming, MonoEqualsTheIndependentMixOrIsRefused)
{
    const Fixtures fixtures = LoadFixtures();
    for (const auto& f : fixtures.present) {
        const std::string name = f["file"];
        SCOPED_TRACE(name);
        const RunResult r = RunSondrel({"--data", "--mono", FixturePath(name)});
        const auto mono = f.find("mono16");
        if (mono == f.end() || mono->is_null() || !mono->contains("md5")) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("sondrel: Error: ", 0), 0u) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.size(), (*mono)["bytes"].get<size_t>());
        EXPECT_EQ(Md5Hex(r.out), (*mono)["md5"].get<std::string>());
    }
}

} // namespace
