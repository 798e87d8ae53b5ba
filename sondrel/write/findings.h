// The inspector's findings for the writers: what was wrong with a file
// before it was written, and what is left in the written file.
#pragma once

#include <string>
#include <vector>

struct InspectedCodes {
    bool inspected = false; // the file could be inspected
    std::vector<std::string> codes;
};

// The finding codes of the inspector's record of `path`, in its order
// (headers and metadata only).
InspectedCodes FindingCodes(const std::string& path);
