// Descriptor reads and seeks, and the run status.
#include "io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");

namespace
{

int RunFailed = 0;
bool WriteFailureReported = false;

// A single read(2) is capped well below the kernel's 0x7FFFF000 limit.
constexpr size_t MaxReadCall = size_t{1} << 30;

constexpr uint64_t LargestOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

} // namespace

void ReportError(const char* label)
{
    perror(label);
    RunFailed = 1;
}

void NoteFailure()
{
    RunFailed = 1;
}

void ReportWriteFailure()
{
    if (!WriteFailureReported)
        ReportError("Writing output file");
    WriteFailureReported = true;
    RunFailed = 1;
    clearerr(stdout);
}

void (*FatalStopHook)() = nullptr;

void FatalStop()
{
    if (FatalStopHook)
        FatalStopHook();
    exit(1);
}

int RunStatus()
{
    return RunFailed;
}

void ResetRunStatus()
{
    RunFailed = 0;
    WriteFailureReported = false;
}

size_t RIFFRead(int fd, void* buffer, size_t count, bool* failed)
{
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    if (failed)
        *failed = false;
    while (done < count) {
        size_t ask = count - done < MaxReadCall ? count - done : MaxReadCall;
        ssize_t got = read(fd, p + done, ask);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ReportError("RIFFRead");
            if (failed)
                *failed = true;
            break;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

size_t ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int* error)
{
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    *error = 0;
    while (done < count) {
        if (offset + done > LargestOffset || offset + done < offset)
            break; // past any file's end
        size_t ask = count - done < MaxReadCall ? count - done : MaxReadCall;
        ssize_t got = pread(fd, p + done, ask, static_cast<off_t>(offset + done));
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
