// --set and --set-from: descriptive metadata edited in place when one of
// the safe shapes fits, else rewritten into a new file renamed over the
// original; one JSON line per file.
#pragma once

#include "write/edit_keys.h"
#include "write/outcome.h"

#include <string>
#include <vector>

namespace sondrel
{

struct SetOptions {
    bool noRewrite = false; // refuse what cannot be done in place
    bool dryRun = false;    // plan, check and report; write nothing
};

// Edits one file.
Outcome SetFile(const std::string& path, const std::vector<Edit>& edits, const SetOptions& o);

// ixml=@PATH: the document read from PATH ("-": standard input) into the
// edit's value.  Returns "" or why it could not be read.
std::string LoadDocument(Edit& e);

// Every file with the same edits; the exit status of the run.
int RunSet(const std::vector<std::string>& paths, const std::vector<Edit>& edits,
           const SetOptions& o);

// The table's rows, each its file's edits.  Returns the exit status; a
// table that is not such CSV is a usage error (2) and nothing is written.
int RunSetFrom(const std::string& table, const SetOptions& o);

} // namespace sondrel
