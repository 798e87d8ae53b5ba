// The embedding of one file decided whole: where the MD5 and the bext
// loudness go, the writes in the order they are made, or why the file is
// left alone.  No I/O here: the file's bytes come through a reader.
#pragma once

#include "inspect/record.h"
#include "measure/loudness.h"
#include "write/plan.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

// What is to be stored, each present when asked for.
struct EmbedValues {
    std::optional<std::array<uint8_t, 16>> md5;
    std::optional<LoudnessFigures> loudness; // rounded to 2 decimals
    bool replace = false;                    // a stored MD5 or loudness that differs is overwritten
};

struct EmbedPlan {
    std::string refusal;         // why the file is left alone; empty when it is not
    Plan plan;                   // no pieces when nothing needs writing
    std::vector<Change> changes; // the stored values the plan writes over
};

// The byte ranges the plan is made from, read before the audio is measured
// and read again before each write: the file header, every chunk header,
// the bodies of fmt, ds64, MD5, bext and the fillers (their first KiB) and
// what follows the last chunk.
std::vector<ByteRange> PlannedReads(const Record& r);

// The writes that store `v` in the file the inspector's record `r`
// describes, whose bytes `read` gives (at least those of PlannedReads).
// Each piece is flushed before the next; CheckInPlace holds the plan to the
// shapes allowed.
EmbedPlan PlanEmbed(const Record& r, const ByteReader& read, const EmbedValues& v);

} // namespace sondrel
