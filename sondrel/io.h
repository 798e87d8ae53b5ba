// Reads and seeks over a file descriptor, with one retry loop for short
// reads and interrupted calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sondrel {

// Reads up to `count` bytes at the file position, retrying short reads and
// interrupted calls, until the count, the end of the file or a failure.
// Returns the bytes that arrived, also when a failure stopped it; a failure
// is reported as "RIFFRead" (marking the run failed) and sets *failed when given.
size_t RIFFRead(int fd, void* buffer, size_t count, bool* failed = nullptr);

// Reads up to `count` bytes at an absolute offset without moving the file
// position and without a message: the inspector keeps its errors in the
// record.  Returns the bytes that arrived and sets *error to errno on a
// failure (0 otherwise).
size_t ReadAt(int fd, uint64_t offset, void* buffer, size_t count, int* error);

// Reads up to `count` bytes at `offset` of some file, a real one or one
// made of planned bytes: returns how many arrived, and sets *error to errno
// on a failure (0 otherwise).  The walker and the writers' checks read
// through it.
using ByteReader = std::function<size_t(uint64_t offset, void* buffer, size_t count, int* error)>;

// ReadAt on `fd`.
ByteReader FileReader(int fd);

// Seeks to an absolute offset; offsets that off_t cannot hold fail with EINVAL.
bool SeekTo(int fd, uint64_t offset);

// Largest offset a file can have here.
uint64_t MaxFileOffset();

} // namespace sondrel
