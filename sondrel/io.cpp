// Descriptor reads and seeks.
#include "io.h"

#include "status.h"

#include <cerrno>
#include <limits>
#include <unistd.h>

namespace sondrel {

static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");

namespace
{

// A single read(2) is capped well below the kernel's 0x7FFFF000 limit.
constexpr size_t MaxReadCall = size_t{1} << 30;

constexpr uint64_t LargestOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

// Reads until `count`, the end of the file or a failure (its errno in
// *error); `offset` < 0 reads at the file position.
size_t ReadFully(int fd, int64_t offset, unsigned char* p, size_t count, int* error)
{
    size_t done = 0;
    *error = 0;
    while (done < count) {
        const size_t ask = count - done < MaxReadCall ? count - done : MaxReadCall;
        ssize_t got = 0;
        if (offset < 0) {
            got = read(fd, p + done, ask);
        } else {
            const uint64_t at = static_cast<uint64_t>(offset) + done;
            if (at > LargestOffset)
                break; // past any file's end
            got = pread(fd, p + done, ask, static_cast<off_t>(at));
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            break;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

} // namespace

size_t RIFFRead(int fd, void* buffer, size_t count, bool* failed)
{
    int error = 0;
    const size_t done = ReadFully(fd, -1, static_cast<unsigned char*>(buffer), count, &error);
    if (error != 0) {
        errno = error;
        ReportError("RIFFRead");
    }
    if (failed)
        *failed = error != 0;
    return done;
}

size_t ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int* error)
{
    *error = 0;
    if (offset > LargestOffset)
        return 0;
    return ReadFully(fd, static_cast<int64_t>(offset), static_cast<unsigned char*>(buffer), count,
                     error);
}

ByteReader FileReader(int fd)
{
    return [fd](uint64_t offset, void* buffer, size_t count, int* error) {
        return ReadAt(fd, offset, buffer, count, error);
    };
}

bool SeekTo(int fd, uint64_t offset)
{
    if (offset > LargestOffset) {
        errno = EINVAL;
        return false;
    }
    return lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

uint64_t MaxFileOffset()
{
    return LargestOffset;
}

} // namespace sondrel
