// The repair of one input decided whole: the new file's pieces, what is not
// carried over, or why the input is refused.  No I/O here.
#pragma once

#include "write/plan.h"
#include "write/source.h"

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
// another file that follows are left out.
RepairPlan PlanRepair(const Source& in);

// The finding codes a repair removes.
bool IsRepairedFinding(const std::string& code);

} // namespace sondrel
