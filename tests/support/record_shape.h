// The inspection record's shape as the tests hold it: every key, in
// order, with its type, and JSON Lines that parse.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// Parses JSON Lines, failing the test on a line that is not one JSON object
// or on output that does not end with a newline.
std::vector<nlohmann::ordered_json> ParseRecords(const std::string& out);

// Checks the record's keys, their order and types, and the nested objects.
void ExpectRecordShape(const nlohmann::ordered_json& record);

// Runs `sondrel --json OPTIONS PATH`, expecting nothing on standard error;
// the one record, its shape checked, or null when there is not one.
nlohmann::ordered_json InspectOne(const std::string& path,
                                  const std::vector<std::string>& options = {});
