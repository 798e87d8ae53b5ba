// The inspector's findings for the writers: what was wrong with a file
// before it was written, and what is left in the written file.
#pragma once

#include <string>
#include <vector>

struct Findings {
    bool inspected = false; // the record's status is "ok"
    std::vector<std::string> codes;
};

// The finding codes of the inspector's record of `path`, in its order (the
// record made in this process, headers and metadata only).
Findings FindingCodes(const std::string& path);
