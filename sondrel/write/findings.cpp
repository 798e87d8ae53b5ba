// The one call of the inspector from the writers.
#include "write/findings.h"

#include "inspect/record.h"

#include <nlohmann/json.hpp>

std::vector<std::string> FindingCodes(const std::string& path)
{
    bool failed = false;
    const std::string line = InspectRecordLine(path.c_str(), InspectOptions{}, &failed);
    const auto record = nlohmann::json::parse(line, nullptr, false);
    std::vector<std::string> codes;
    if (record.is_discarded() || !record.contains("findings"))
        return codes;
    for (const auto& f : record["findings"])
        codes.push_back(f.value("code", ""));
    return codes;
}
