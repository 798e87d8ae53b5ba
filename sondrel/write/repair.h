// sondrel --repair [--md5] IN OUT: a finalised, conforming copy of IN in the
// new file OUT.  IN is opened read-only; OUT appears whole or not at all.
#pragma once

#include "write/outcome.h"

#include <string>

namespace sondrel {

struct RepairOptions {
    bool md5 = false;        // the MD5 of the written audio in the JSON line
    bool audioToEnd = false; // every byte from the data body to IN's end is audio
};

// Repairs `in` into `out` (a new file, or a folder to put IN's name in) and
// says what was done.  OUT gets IN's permission bits, modification time and,
// where allowed, owner and group.
Outcome Repair(const std::string& in, const std::string& out, const RepairOptions& options);

// Repair with its JSON line on standard output; returns the exit status.
int RunRepair(const std::string& in, const std::string& out, const RepairOptions& options);

} // namespace sondrel
