// The check of a plan of writes into an existing file (--embed), made before
// the first byte is written.
#pragma once

#include "io.h"
#include "write/plan.h"

#include <cstdint>
#include <string>

namespace sondrel {

// Holds a plan of writes into the existing file `read` gives, `fileBytes`
// long, to the shapes an in-place writer may take: pieces of bytes of their
// own, each flushed before the next, none writing a byte of the file header
// or of a chunk other than the RIFF size, an MD5 body, the bext version and
// loudness fields or a filler (JUNK, PAD, FLLR), which leaves the audio
// alone; and after every prefix of the pieces, the file as it then is,
// walked as the inspector walks a file: every chunk but the fillers where it
// was with its size, the new ones MD5, bext or fillers, none cut short, and
// the chunks still reaching the RIFF end when they did.  Returns the first
// problem, or "".
std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const ByteReader& read);

} // namespace sondrel
