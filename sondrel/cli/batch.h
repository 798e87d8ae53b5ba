// The inspector's run over a batch of names: one record each, a progress
// line and a closing summary when standard error is a terminal, and the exit
// status.
#pragma once

#include "cli/file_list.h"
#include "inspect/inspect.h"

#include <functional>

namespace sondrel {

// Inspects every entry of `names`, showing each record to `seen` when given.
// Returns 2 when one could not be opened, listed or read, else 1 when a
// record has an error finding, else 0.  Stops early when standard output
// cannot be written.
int InspectBatch(FileListOptions names, InspectOptions options,
                 const std::function<void(const Record&)>& seen = {});

} // namespace sondrel
