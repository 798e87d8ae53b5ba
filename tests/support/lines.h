// The lines the text modes write, built as a reader expects them, so tests
// compare whole outputs.
#pragma once

#include <cstdio>
#include <string>

// A chunk-summary line; the id stops at four bytes or a zero byte.
inline std::string SummaryLine(const char* id, unsigned long long size)
{
    char line[64];
    snprintf(line, sizeof line, "Chunk [%.4s] %12llu bytes\n", id, size);
    return line;
}

// One report line: section, dot, name padded to 20, " : ", value.
inline std::string ReportLine(const std::string& section, const std::string& name,
                              const std::string& value)
{
    std::string field = name;
    if (field.size() < 20)
        field.resize(20, ' ');
    return section + "." + field + " : " + value + "\n";
}
