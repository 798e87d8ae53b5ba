// The fields of an iXML document that the inspector reports, read with
// pugixml: no entity beyond the predefined ones is expanded, nothing fetched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct IxmlTrack {
    std::optional<int64_t> interleaveIndex; // null when not a decimal number
    std::optional<int64_t> channelIndex;
    std::optional<std::string> name;
};

struct IxmlFields {
    bool wellFormed = false;
    // Text of the root's children; null when absent or not well-formed.
    std::optional<std::string> project, scene, take, tape, note;
    std::optional<bool> circled; // TRUE / FALSE in any case
    std::vector<IxmlTrack> tracks;
};

// Parses `size` bytes of an iXML body (already cut at its first zero byte)
// in place: the buffer is overwritten, so a large body is not copied again.
IxmlFields ParseIxml(char* text, size_t size);

// A whole decimal number, blanks around it allowed; null otherwise.
std::optional<int64_t> DecimalNumber(const char* text);
