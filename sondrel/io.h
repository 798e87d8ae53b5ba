// Reads, seeks and little-endian loads over a file descriptor, and the run
// status that every failure marks.
#pragma once

#include <cstddef>
#include <cstdint>

// Reports `label` with the system's text for errno, in the perror form, and
// marks the run as failed (exit status 1).
void ReportError(const char* label);

// Marks the run as failed without a message of its own.
void NoteFailure();

// Reports a failed write to standard output as "Writing output file" with
// the system's text, once per run: a full disk or a closed descriptor fails
// every later write as well, and one message says it.  Clears the stream's
// error mark, so a later flush reports only a new failure.
void ReportWriteFailure();

// Ends the process with status 1 after a fatal condition (its message already
// written).  A fuzzing harness sets FatalStopHook to regain control instead;
// the program itself never sets it.
[[noreturn]] void FatalStop();
extern void (*FatalStopHook)();

// 0 while every step succeeded, 1 after any reported failure.
int RunStatus();

// Forgets the run's failures and the "write failure reported" mark.
void ResetRunStatus();

// Reads up to `count` bytes, retrying short reads and interrupted calls, until
// the count, the end of the file or a failure.  Returns the bytes that arrived,
// also when a failure stopped it; a failure is reported as "RIFFRead" and sets
// *failed when given.
size_t RIFFRead(int fd, void* buffer, size_t count, bool* failed = nullptr);

// Reads up to `count` bytes at an absolute offset without moving the file
// position and without a message: the inspector keeps its errors in the
// record.  Retries short reads and interruptions; returns the bytes that
// arrived and sets *error to errno on a failure (0 otherwise).
size_t ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int* error);

// Seeks to an absolute offset; offsets that off_t cannot hold fail with EINVAL.
bool SeekTo(int fd, uint64_t offset);

// Largest offset a file can have here.
uint64_t MaxFileOffset();

// Little-endian loads from byte buffers (no alignment assumed).
inline uint16_t LoadLE16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadLE32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLE64(const unsigned char* p)
{
    return static_cast<uint64_t>(LoadLE32(p)) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}
