// The real files written by other tools, and the facts independent readers
// gathered about them (facts.json).  They live in tests/data; the two copied
// from Debian packages stay outside the repository for their licences and are
// read from the shared fixtures folder when it holds them.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

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
