// The one call of the inspector from the writers.
#include "write/findings.h"

#include "inspect/record.h"

#include <nlohmann/json.hpp>

Findings FindingCodes(const std::string& path)
{
    bool failed = false;
    const std::string line = InspectRecordLine(path.c_str(), InspectOptions{}, &failed);
    const auto record = nlohmann::json::parse(line, nullptr, false);
    Findings f;
    if (record.is_discarded() || !record.contains("findings"))
        return f;
    f.inspected = record.value("status", "") == "ok";
    for (const auto& finding : record["findings"])
        f.codes.push_back(finding.value("code", ""));
    return f;
}
