// The keys every inspection record has, in this order; the tests and the
// fuzz target hold records to this one list.
#pragma once

#include <array>
#include <string_view>

inline constexpr std::array<std::string_view, 17> RecordKeys = {
    "path",     "status",    "error", "container", "file_bytes", "chunks", "format",
    "audio",    "bext",      "info",  "cues",      "ixml",       "md5",    "loudness_measured",
    "findings", "signal",    "path_bytes"};
