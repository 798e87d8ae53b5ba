// The repair of one input decided whole: the new file's pieces, what is not
// carried over, or why the input is refused.  No I/O here.
#pragma once

#include "inspect/findings.h"
#include "inspect/record.h"
#include "write/plan.h"

#include <string>

namespace sondrel {

struct RepairPlan {
    std::string refusal; // why the input is not repaired; empty when it is
    Plan plan;
};

// A finalised copy of the input: the file header, a ds64 chunk first when
// the copy is RF64/BW64, every chunk kept byte for byte in the input's
// order, the data chunk cut to whole frames, pad bytes where they belong.
// Chunks cut short or of unknown size, bytes after the last chunk and
// another file that follows are left out.  `in` is the inspector's record
// of the input, its walked chunks included.  With `audioToEnd` every byte
// from the data body to the end of the input is audio (whole frames): the
// recording whose header was written once and never finalised.
RepairPlan PlanRepair(const Record& in, bool audioToEnd = false);

// The findings a repair removes: none of them may be left in its copy.
bool IsRepairedFinding(Code code);

} // namespace sondrel
