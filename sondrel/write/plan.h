// A plan of writes, decided whole before the first byte is written: each
// piece is a byte range of the written file, filled with bytes of its own or
// copied from the input.  The JSON line and the tests read the plan; a check
// holds it to the shapes a mode may write; one function carries it out.
//
// The new-file shape (--repair, or a rewrite renamed over its original) is a
// whole WAVE file written from offset 0 to its end into a file nobody else
// sees yet (check_new_file.h).  Writes into an existing file (--embed) are
// other shapes of the same pieces: a piece inside a chunk, a piece inside a
// filler's body followed by the header that makes it a chunk, pieces past
// the RIFF end followed by the RIFF size, each with flushAfter set where the
// order must survive a crash (check_in_place.h).
#pragma once

#include "bytes.h"
#include "inspect/walk.h"
#include "io.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

struct ByteRange {
    uint64_t offset = 0;
    uint64_t bytes = 0;
    std::string what;
};

struct Piece {
    uint64_t offset = 0; // in the written file
    uint64_t bytes = 0;
    std::string literal;          // the bytes, when not copied
    std::optional<uint64_t> from; // the input offset `bytes` are copied from
    std::string what;
    bool flushAfter = false; // flushed to disk before the next piece
};

// A stored value a plan changes, as `--json` shows it: text, a number, or
// null (neither).
struct ShownValue {
    std::optional<std::string> text;
    std::optional<double> number; // a measured value
    bool integer = false;         // `text` is a whole decimal, shown as a JSON integer
};
struct Change {
    std::string key; // as the record names it: "md5.stored", "bext.loudness.range_lu"
    ShownValue before, after;
};

struct Plan {
    std::vector<Piece> pieces;      // in the order they are written
    uint64_t length = 0;            // of the written file when done
    std::vector<ByteRange> dropped; // input bytes not carried over
    ByteRange audio;                // in the written file
    uint64_t audioFrom = 0;         // in the input
    uint64_t frames = 0;            // whole frames of audio
};

// The file the plan writes, read before it is written: the pieces' bytes,
// or `input`'s where a piece copies them; nothing where no piece writes.
ByteReader PlannedFile(const Plan& plan, const ByteReader& input);

// The file `base` reads, `baseBytes` long, as it is once the first `count`
// pieces of `plan` are written into it: bytes past its old end that no
// piece wrote read as zeros.  *length is set to its length then.
ByteReader Overlaid(const Plan& plan, size_t count, const ByteReader& base, uint64_t baseBytes,
                    uint64_t* length);

// Field bytes of a planned piece, little-endian.
std::string LE16(uint16_t v);
std::string LE32(uint32_t v);
std::string LE64(uint64_t v);

// Writes the pieces in order to `out`, copying from `in`, flushing after the
// pieces marked so; `progress`, when set, hears the offset written to.
// Returns 0, or the errno of the failed step with *failedStep naming it.
int WritePlan(const Plan& plan, int in, int out, const char** failedStep,
              const std::function<void(uint64_t)>& progress = {});

// Where chunks are appended to a file whose chunks up to the RIFF end are
// `visible`: after the last one and its pad byte, which is written first
// when the file ends without it; after the file header when there is none.
struct AppendPoint {
    uint64_t at = FirstChunkOffset;
    bool padMissing = false;
};
AppendPoint AppendPointAfter(const std::vector<WalkedChunk>& visible, uint64_t fileBytes);

} // namespace sondrel
