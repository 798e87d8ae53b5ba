// Writes a plan into an existing file: before each piece the file must be
// as this run left it, each piece is flushed before the next, and a write
// or flush that fails is undone.
#pragma once

#include "write/plan.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace sondrel {

// The bytes a plan was made from, kept to be read again: another writer
// that changed them since must not have its change written over.
class Snapshot
{
  public:
    // Reads the ranges from `fd`; returns 0 or errno.
    int Read(int fd, const std::vector<ByteRange>& ranges);
    // Bytes at `offset` from the ranges read (an InputReader for a planner).
    size_t Get(uint64_t offset, void* buffer, size_t count) const;
    // The file still holds them.
    bool Holds(int fd) const;
    // A piece this run wrote: the file now holds its bytes where they overlap.
    void Apply(const Piece& p);

  private:
    struct Range {
        uint64_t offset;
        std::string bytes;
    };
    std::vector<Range> ranges_;
};

// How a run of InPlaceWriter::Write ended.
enum class InPlaceResult {
    Written,
    Changed,    // another writer changed the file; what was written is undone
    Failed,     // a write or flush failed; what was written is undone
    UndoFailed, // ... and so did undoing it
};

class InPlaceWriter
{
  public:
    // `before`: the file's status when `snapshot` was read.
    InPlaceWriter(int fd, Snapshot& snapshot, const struct stat& before);

    InPlaceResult Write(const Plan& plan);

    // The writes made, in order, undoing ones included.
    const std::vector<ByteRange>& Writes() const { return writes_; }
    // Why it was not Written.
    const std::string& Problem() const { return problem_; }

  private:
    bool Unchanged() const;
    int WritePiece(const Piece& p);
    int Undo();
    InPlaceResult Undone(InPlaceResult result);

    struct Done {
        const Piece* piece;
        std::string before; // the bytes it wrote over, within the old length
    };
    int fd_;
    Snapshot& snapshot_;
    uint64_t oldLength_, length_; // before the run; as this run has left it
    uint64_t reach_;              // the end of the farthest write begun
    struct timespec mtime_;
    std::vector<Done> done_;
    std::vector<ByteRange> writes_;
    std::string problem_;
    std::optional<ByteRange> left_; // appended bytes an undo had to leave
};

} // namespace sondrel
