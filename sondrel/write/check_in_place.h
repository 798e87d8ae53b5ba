// The check of a plan of writes into an existing file (--embed, --set),
// made before the first byte is written.
#pragma once

#include "inspect/walk.h"
#include "io.h"
#include "write/plan.h"

#include <cstdint>
#include <string>
#include <utility>

namespace sondrel {

// What a mode may do to the chunks of a file it writes in place.  The RIFF
// size (in RF64 and BW64 the first ds64's) may be written in every mode.
struct InPlaceRules {
    // A chunk that may stand where no chunk of its id stood.  Fillers may
    // also go.
    bool (*mayAdd)(const WalkedChunk& c);
    // A chunk that may change its size where it stands.
    bool (*mayResize)(const WalkedChunk& c);
    // The bytes of a chunk a piece may write, as [from, to).
    std::pair<uint64_t, uint64_t> (*writable)(const WalkedChunk& c);
};

// --embed: an MD5 body, the bext version and loudness fields, fillers; new
// MD5, bext and filler chunks; no chunk resized.
extern const InPlaceRules EmbedRules;
// --set: bext, LIST, iXML and fillers, whole, new or resized.
extern const InPlaceRules EditRules;

// Holds a plan of writes into the existing file `read` gives, `fileBytes`
// long, to the shapes an in-place writer may take: pieces of bytes of their
// own, each flushed before the next, none writing the file header but the
// RIFF size, nor any byte of a chunk the rules do not give, nor a byte past
// the RIFF end other than it is (a killed run's start of the same append),
// which leaves the audio alone; and after every prefix of the pieces, the file as it then is,
// walked as the inspector walks a file: every chunk but the fillers where it
// was with its size unless the rules let it change, none cut short, the
// chunks still reaching the RIFF end when they did, and the RIFF size
// counting no byte the file lacks.  Returns the first problem, or "".
std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const ByteReader& read,
                         const InPlaceRules& rules);

} // namespace sondrel
