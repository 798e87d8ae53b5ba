// A plan of writes, decided whole before the first byte is written: each
// piece is a byte range of the written file, filled with bytes of its own or
// copied from the input.  The JSON line and the tests read the plan; a check
// holds it to the shapes a mode may write; one function carries it out.
//
// The new-file shape (--repair) is a whole WAVE file written from offset 0 to
// its end into a file nobody else sees yet.  Writes into an existing file
// (--embed) are other shapes of the same pieces: a piece inside a chunk, a
// piece inside a filler's body followed by the header that makes it a chunk,
// pieces past the RIFF end followed by the RIFF size, each with flushAfter
// set where the order must survive a crash; each such shape gets a check of
// its own beside CheckNewFile.
#pragma once

#include "bytes.h"

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

struct Plan {
    std::vector<Piece> pieces;      // in the order they are written
    uint64_t length = 0;            // of the written file when done
    std::vector<ByteRange> dropped; // input bytes not carried over
    ByteRange audio;                // in the written file
    uint64_t audioFrom = 0;         // in the input
    uint64_t frames = 0;            // whole frames of audio
};

// JUNK, PAD  and FLLR: room that a new chunk may take.
bool IsFiller(const FourCC& id);

// Field bytes of a planned piece, little-endian.
std::string LE16(uint16_t v);
std::string LE32(uint32_t v);
std::string LE64(uint64_t v);

// Reads up to `count` input bytes at `offset`; returns how many arrived.
using InputReader = std::function<size_t(uint64_t offset, void* buffer, size_t count)>;

// Holds a plan to the new-file shape: pieces contiguous from 0 to the end,
// copies inside the input, the audio one copy from its input offset, and the
// file they make a WAVE file whose header, ds64 (first, when RF64/BW64) and
// chunk sizes describe it exactly.  Returns the first problem, or "".
std::string CheckNewFile(const Plan& plan, uint64_t inputBytes, const InputReader& read);

// Holds a plan of writes into the existing file `read` gives, `fileBytes`
// long, to the shapes an in-place writer (--embed) may take: pieces of
// bytes of their own, each flushed before the next, none writing a byte of
// the file header or of a chunk other than the RIFF size, an MD5 body, the
// bext version and loudness fields or a filler (JUNK, PAD, FLLR), which
// leaves the audio alone; and after every prefix of the pieces, every chunk
// but the fillers where it was with its size, the new ones MD5, bext or
// fillers, none cut short, and the chunks still reaching the RIFF end when
// they did.  Returns the first problem, or "".
std::string CheckInPlace(const Plan& plan, uint64_t fileBytes, const InputReader& read);

// Writes the pieces in order to `out`, copying from `in`, flushing after the
// pieces marked so.  Returns 0, or the errno of the failed step with
// *failedStep naming it.
int WritePlan(const Plan& plan, int in, int out, const char** failedStep);

} // namespace sondrel
