#include "facts.h"

#include "run_tool.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

// Files copied from Debian packages are named deb_*; only they may be absent.
bool KeptOutside(const std::string& name)
{
    return name.starts_with("deb_");
}

bool Readable(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0;
}

} // namespace

std::string FixturePath(std::string_view name)
{
    const std::string file(name);
    if (KeptOutside(file))
        return std::string(SONDREL_SHARED_FIXTURES) + "/" + file;
    return std::string(SONDREL_TEST_DATA) + "/" + file;
}

Fixtures LoadFixtures()
{
    Fixtures f;
    f.listed = nlohmann::json::parse(ReadWholeFile(FixturePath("facts.json")), nullptr, false);
    if (f.listed.is_discarded() || !f.listed.contains("files")) {
        ADD_FAILURE() << "no readable facts.json at " << FixturePath("facts.json");
        f.listed = {{"files", nlohmann::json::array()}};
    }
    f.present = nlohmann::json::array();
    for (const auto& entry : f.listed["files"]) {
        const std::string name = entry["file"];
        if (Readable(FixturePath(name)))
            f.present.push_back(entry);
        else if (!KeptOutside(name))
            ADD_FAILURE() << "test data missing: " << FixturePath(name);
    }
    return f;
}
