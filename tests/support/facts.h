// The real files written by other tools, and the facts independent readers
// gathered about them (facts.json).  They live in tests/data; the two copied
// from Debian packages stay outside the repository for their licences and are
// read from the shared fixtures folder when it holds them.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The full path of a fixture: tests/data, or the shared folder for a file
// kept outside.
std::string FixturePath(std::string_view name);

struct Fixtures {
    nlohmann::json listed;  // facts.json as generated: every file it describes
    nlohmann::json present; // the entries whose file can be read here
};

// Loads facts.json.  An unreadable facts.json, or a file of tests/data it
// names that is missing, fails the calling test.
Fixtures LoadFixtures();

struct RunResult;

// One check of the fixtures' facts: sondrel runs with `options` and the
// fixture's path, and `check` holds the run to the fixture's facts.
struct FactCheck {
    std::string what;
    std::vector<std::string> options;
    std::function<void(const nlohmann::json& fact, const std::string& path, const RunResult& run)>
        check;
};

// Runs every check on every fixture present; a failure names both.
void CheckFacts(const Fixtures& fixtures, const std::vector<FactCheck>& checks);
