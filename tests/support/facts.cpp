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

void CheckFacts(const Fixtures& fixtures, const std::vector<FactCheck>& checks)
{
    for (const auto& fact : fixtures.present) {
        const std::string name = fact["file"], path = FixturePath(name);
        for (const FactCheck& c : checks) {
            SCOPED_TRACE(name + ", " + c.what);
            std::vector<std::string> args = c.options;
            args.push_back(path);
            c.check(fact, path, RunSondrel(args));
        }
    }
}
