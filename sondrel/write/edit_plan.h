// An edit of one file decided whole: the values it changes, and either the
// writes in place (each flushed before the next, the new value of a field
// made visible by one write) or the new file a rewrite makes.  No I/O here.
#pragma once

#include "write/edit_keys.h"
#include "write/edit_state.h"
#include "write/plan.h"

#include <string>
#include <utility>
#include <vector>

namespace sondrel
{

// The chunks an edit makes anew, when it makes them.
struct NewBodies {
    std::optional<std::string> bext, list, ixml;
};

struct EditPlan {
    std::string refusal;       // why the file is left alone
    std::string rewriteReason; // why it cannot be edited in place; "" when it can
    Plan plan;                 // the writes in place, or the rewritten file's pieces
    std::vector<Change> changes;
    // What the edited file must show for each key changed (--csv's cell;
    // for ixml the document).
    std::vector<std::pair<std::string, std::string>> readBack;
};

// The writes in place, or why the edit needs a rewrite, or why neither.
struct InPlace {
    Plan plan;
    std::string rewriteReason, refusal;
};
// `info`: the INFO cells wanted (empty removes), when the edit names INFO keys.
InPlace PlanInPlace(const EditState& s, const NewBodies& b, const EditReader& read,
                    const std::vector<std::pair<std::string, std::string>>* info);

// A piece of the bytes that differ between `before` and `after` (as long),
// at `at`, flushed: one write makes them all visible.
void DiffPiece(Plan& p, uint64_t at, const std::string& before, const std::string& after,
               const std::string& what);

EditPlan PlanEdit(const EditState& s, const std::vector<Edit>& edits, const EditReader& read);

// The whole file written anew with `bodies` in place of (or after) the
// chunks they replace; every other chunk copied as it is.
EditPlan PlanRewrite(const EditState& s, const NewBodies& bodies, const EditReader& read);

} // namespace sondrel
