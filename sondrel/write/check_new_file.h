// The check of a new-file plan (--repair's copy, or a rewrite renamed over
// its original), made before the first byte is written.
#pragma once

#include "io.h"
#include "write/plan.h"

#include <cstdint>
#include <string>

namespace sondrel {

// Holds a plan to the new-file shape: pieces contiguous from 0 to the end,
// copies inside the input, the audio one copy from its input offset, and the
// file they make, walked as the inspector walks a file, a WAVE file whose
// header, ds64 (first, when RF64/BW64) and chunk sizes describe it exactly.
// `input` reads the input, `inputBytes` long.  Returns the first problem,
// or "".
std::string CheckNewFile(const Plan& plan, uint64_t inputBytes, const ByteReader& input);

} // namespace sondrel
