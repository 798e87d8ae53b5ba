// Holds an edit's writes in place to what --set may do: after every prefix
// of them the file walks whole, the audio, fmt and every other chunk stay
// where they were with their sizes, only bext, LIST, iXML and fillers are
// new or resized, and no write touches the audio, fmt, or a header field
// but the RIFF size.
#pragma once

#include "write/edit_state.h"
#include "write/plan.h"

#include <string>

namespace sondrel
{

// Returns the first problem, or "".
std::string CheckEditInPlace(const Plan& plan, const EditState& s, const EditReader& read);

} // namespace sondrel
