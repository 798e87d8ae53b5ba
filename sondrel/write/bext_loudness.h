// The five loudness values as bext version 2 stores them: signed hundredths
// in 16 bits, 0x7FFF where there is none.
#pragma once

#include "measure/loudness.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sondrel {

// A loudness value as bext version 2 stores it: hundredths, 0x7FFF when the
// audio gives none or it does not fit in 16 bits.
uint16_t LoudnessField(const std::optional<double>& value);

// The five values as the fields above give them back: null where unset.
LoudnessFigures AsStored(const LoudnessFigures& l);

// The ten bytes of the five fields, in the order the chunk holds them.
std::string LoudnessBytes(const LoudnessFigures& l);

} // namespace sondrel
