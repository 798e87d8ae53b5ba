// Writes into an existing file, checked, flushed and undone on failure.
#include "write/in_place.h"

#include "io.h"
#include "write/durable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace sondrel {

int Snapshot::Read(int fd, const std::vector<ByteRange>& ranges)
{
    ranges_.clear();
    for (const ByteRange& r : ranges) {
        std::string bytes(static_cast<size_t>(r.bytes), '\0');
        int error = 0;
        bytes.resize(ReadAt(fd, r.offset, bytes.data(), bytes.size(), &error));
        if (error != 0)
            return error;
        ranges_.push_back({r.offset, std::move(bytes)});
    }
    return 0;
}

size_t Snapshot::Get(uint64_t offset, void* buffer, size_t count) const
{
    size_t best = 0;
    for (const Range& r : ranges_) {
        if (offset < r.offset || offset - r.offset >= r.bytes.size())
            continue;
        const auto n = static_cast<size_t>(
            std::min<uint64_t>(count, r.bytes.size() - static_cast<size_t>(offset - r.offset)));
        if (n > best) {
            std::memcpy(buffer, r.bytes.data() + (offset - r.offset), n);
            best = n;
        }
    }
    return best;
}

bool Snapshot::Holds(int fd) const
{
    for (const Range& r : ranges_) {
        std::string now(r.bytes.size() + 1, '\0'); // one more: a range that grew shows
        int error = 0;
        now.resize(ReadAt(fd, r.offset, now.data(), now.size(), &error));
        if (error != 0 || now.compare(0, r.bytes.size(), r.bytes) != 0)
            return false;
    }
    return true;
}

void Snapshot::Apply(const Piece& p)
{
    for (Range& r : ranges_) {
        const uint64_t from = std::max(r.offset, p.offset);
        const uint64_t to = std::min(r.offset + r.bytes.size(), p.offset + p.bytes);
        if (from < to)
            r.bytes.replace(static_cast<size_t>(from - r.offset), static_cast<size_t>(to - from),
                            p.literal, static_cast<size_t>(from - p.offset),
                            static_cast<size_t>(to - from));
    }
}

InPlaceWriter::InPlaceWriter(int fd, Snapshot& snapshot, const struct stat& before)
    : fd_(fd), snapshot_(snapshot), oldLength_(static_cast<uint64_t>(before.st_size)),
      length_(oldLength_), reach_(oldLength_), mtime_(before.st_mtim)
{
}

// Length and modification time as this run left them (in nanoseconds, as
// the file system keeps them), and the bytes read: the audio between them is
// covered by the first two, as reading it again would double the run.
bool InPlaceWriter::Unchanged() const
{
    struct stat now {
    };
    return fstat(fd_, &now) == 0 && static_cast<uint64_t>(now.st_size) == length_ &&
           now.st_mtim.tv_sec == mtime_.tv_sec && now.st_mtim.tv_nsec == mtime_.tv_nsec &&
           snapshot_.Holds(fd_);
}

int InPlaceWriter::WritePiece(const Piece& p)
{
    Done d{&p, std::string()};
    if (p.offset < length_) {
        d.before.resize(static_cast<size_t>(std::min(p.bytes, length_ - p.offset)));
        int error = 0;
        if (ReadAt(fd_, p.offset, d.before.data(), d.before.size(), &error) != d.before.size()) {
            problem_ = std::string("Can't read the file: ") + strerror(error != 0 ? error : EIO);
            return error != 0 ? error : EIO;
        }
    }
    done_.push_back(std::move(d));
    writes_.push_back({p.offset, p.bytes, p.what});
    reach_ = std::max(reach_, p.offset + p.bytes);
    if (const int e = WriteAllAt(fd_, p.literal.data(), p.literal.size(), p.offset)) {
        problem_ = std::string("Can't write the file: ") + strerror(e);
        return e;
    }
    // The file's state between the write and its flush: a change another
    // program makes while the flush runs shows at the next check.
    struct stat now {
    };
    if (fstat(fd_, &now) != 0) {
        const int e = errno;
        problem_ = std::string("Can't check the file: ") + strerror(e);
        return e;
    }
    snapshot_.Apply(p);
    length_ = std::max(length_, p.offset + p.bytes);
    mtime_ = now.st_mtim;
    if (const int e = Flush(fd_)) {
        problem_ = std::string("Can't flush the file: ") + strerror(e);
        return e;
    }
    return 0;
}

// The pieces written back as they were, the last first, each flushed, then
// the length the file had: it is as it was before the run.  The length is
// left when another program made the file longer than this run did: what
// it appended is its own.  Returns 0 or errno.
int InPlaceWriter::Undo()
{
    for (auto d = done_.rbegin(); d != done_.rend(); ++d) {
        if (d->before.empty())
            continue;
        writes_.push_back({d->piece->offset, d->before.size(), d->piece->what + " undone"});
        int e = WriteAllAt(fd_, d->before.data(), d->before.size(), d->piece->offset);
        if (e == 0)
            e = Flush(fd_);
        if (e != 0)
            return e;
    }
    struct stat now {
    };
    if (fstat(fd_, &now) != 0)
        return errno;
    if (static_cast<uint64_t>(now.st_size) > reach_) {
        // Another program wrote after what this run appended: those bytes
        // stay (past the RIFF end, now written back), and the line says so.
        if (reach_ > oldLength_)
            left_ = ByteRange{oldLength_, reach_ - oldLength_, ""};
    } else if (ftruncate(fd_, static_cast<off_t>(oldLength_)) != 0) {
        return errno;
    }
    return Flush(fd_);
}

InPlaceResult InPlaceWriter::Undone(InPlaceResult result)
{
    if (done_.empty())
        return result;
    if (const int e = Undo()) {
        problem_ += std::string("; undoing it failed: ") + strerror(e);
        return InPlaceResult::UndoFailed;
    }
    if (left_)
        problem_ += "; what was written is undone but for the " + std::to_string(left_->bytes) +
                    " bytes appended at offset " + std::to_string(left_->offset) +
                    ", left past the RIFF end because another program wrote after them";
    else
        problem_ += "; what was written is undone";
    return result;
}

InPlaceResult InPlaceWriter::Write(const Plan& plan)
{
    for (const Piece& p : plan.pieces) {
        if (!Unchanged()) {
            problem_ = done_.empty() ? "The file changed between its measurement and the write"
                                     : "The file changed while it was written";
            return Undone(InPlaceResult::Changed);
        }
        if (WritePiece(p) != 0)
            return Undone(InPlaceResult::Failed);
    }
    if (!Unchanged()) { // while the last flush ran
        problem_ = "The file changed while it was written";
        return Undone(InPlaceResult::Changed);
    }
    return InPlaceResult::Written;
}

} // namespace sondrel
